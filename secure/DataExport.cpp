#include <stdexcept>
#include <string>

#include "penwell/capture/Penwell.h"
#include "penwell/platform/Uuid.h"
#include "penwell/secure/AES.h"
#include "penwell/secure/KeyWrap.h"
#include "penwell/secure/StrokeRecord.h"

namespace penwell {

namespace {

void requireSecureServices(const Services& s) {
    if (!s.crypto || !s.certificates || !s.certificateStore || !s.resources || !s.uuids) {
        throw std::invalid_argument(
            "the data export needs the crypto, certificate, store, resource and UUID services");
    }
}

}  // namespace

std::optional<Bytes> PenwellViewController::_getSignatureData(std::optional<Bytes>* AESkey,
                                                              std::optional<Bytes>* AESiv) const {
    if (!isSignature()) {
        return std::nullopt;
    }
    if (AESiv == nullptr) {
        throw AssertionFailure("IV must not be NULL");
    }
    if (AESkey == nullptr) {
        throw AssertionFailure("salt must not be NULL");
    }
    requireSecureServices(services_);

    Bytes SigData = encodedStrokes();
    // A fresh random UUID is the password of this one key derivation and is never kept: the
    // key out-parameter holds the only copy of the key.
    std::string GUID = services_.uuids->createString();
    std::optional<Bytes> iv, key;
    Error error;
    std::optional<Bytes> cipherData =
        AES(services_.crypto).encryptedDataForData(SigData, GUID, &iv, &key, &error);
    secureWipe(GUID);
    secureWipe(SigData);
    if (!cipherData) {
        exportFailure_ =
            Failure{std::string(kVellCryptManagerErrorDomain), error.code,
                    "the record could not be encrypted: status " + std::to_string(error.code)};
    }
    *AESiv = std::move(iv);
    *AESkey = std::move(key);
    return cipherData;
}

std::optional<Bytes> PenwellViewController::getSignatureData(std::optional<Bytes>* AESkey) {
    exportFailure_.reset();
    if (!isSignature()) {
        exportFailure_ = Failure{kExportErrorDomain, kExportNoSignature,
                                 "no signature to export: more than MinSigPoints = " +
                                     std::to_string(MinSigPoints()) + " samples are needed"};
        return std::nullopt;
    }
    if (AESkey == nullptr) {
        return std::nullopt;
    }
    std::optional<Bytes> key, iv;
    std::optional<Bytes> encryptedSigData = _getSignatureData(&key, &iv);
    if (key && iv && key->size() == kAlgorithmKeySize && iv->size() == kAlgorithmIVSize) {
        Bytes temp = *key;  // the key blob: key, then IV
        temp.insert(temp.end(), iv->begin(), iv->end());
        *AESkey = wrapAESKey(temp);
        secureWipe(temp);
    } else {
        // Without a whole key and IV there is nothing the receiver could use: wrapping a part
        // of the blob would hand out something that looks like a key but opens nothing.
        *AESkey = std::nullopt;
    }
    if (key) {
        secureWipe(*key);
    }
    return encryptedSigData;
}

Bytes PenwellViewController::encodedStrokes() const {
    if (sharedEncoding_) {
        return *sharedEncoding_;
    }
    return encodePointStream(recordOf(_lines));
}

PenwellViewController::SharedEncoding::SharedEncoding(PenwellViewController& controller)
    : controller_(controller) {
    controller_.sharedEncoding_.reset();
    controller_.sharedEncoding_ = controller_.encodedStrokes();
}

PenwellViewController::SharedEncoding::~SharedEncoding() {
    if (controller_.sharedEncoding_) {
        secureWipe(*controller_.sharedEncoding_);
        controller_.sharedEncoding_.reset();
    }
}

std::optional<Bytes> PenwellViewController::wrapAESKey(ByteView symmetricKey) {
    requireSecureServices(services_);
    Failure failure;
    auto wrapped =
        penwell::wrapAESKey(symmetricKey, *services_.certificates, *services_.certificateStore,
                            *services_.resources, AES(services_.crypto), defaultPin(), &failure);
    if (!wrapped) {
        exportFailure_ = std::move(failure);
    }
    return wrapped;
}

}  // namespace penwell
