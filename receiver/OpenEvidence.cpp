#include "penwell/receiver/OpenEvidence.h"

#include <openssl/cms.h>
#include <openssl/objects.h>

#include "penwell/platform/openssl/OpenSslKeys.h"
#include "penwell/receiver/internal/Envelope.h"
#include "penwell/receiver/internal/OpenFailure.h"
#include "penwell/receiver/internal/OperatorSignature.h"

namespace penwell::receiver {
namespace {

using namespace penwell::openssl;
using internal::openFailure;

int typeOf(CMS_ContentInfo* cms) {
    return OBJ_obj2nid(CMS_get0_type(cms));
}

/// The receiver's key, from where the options say it is.
Result<KeyHandle> receiverKey(const OpenOptions& options) {
    if (options.keyLocation) {
        return loadPrivateKey(*options.keyLocation);
    }
    KeyHandle key = readPrivateKey(options.privateKey);
    if (key == nullptr) {
        return openFailure(OpenError::badKey,
                           options.keyName + ": not an unencrypted PEM or DER private key");
    }
    return key;
}

/// The payload's DER, decrypted from the AuthEnvelopedData `cms`.
Result<Bytes> decryptPayload(CMS_ContentInfo* cms, const OpenOptions& options) {
    const std::string& name = options.name;
    if (typeOf(cms) != NID_id_smime_ct_authEnvelopedData) {
        return openFailure(OpenError::malformed, name +
                                                     ": not AuthEnvelopedData (an evidence "
                                                     "record is AES-256-GCM sealed)");
    }
    // Before any key is tried: the count is what bounds the cost of trying.
    if (const int recipients = internal::recipientCount(cms); recipients > static_cast<int>(kMaxEvidenceRecipients)) {
        return openFailure(
            OpenError::tooManyRecipients,
            name + ": sealed for " + std::to_string(recipients) + " recipients, more than the " +
                std::to_string(kMaxEvidenceRecipients) + " a record may name; not opened");
    }
    X509Handle certificate;
    if (options.certificate && (certificate = readCertificate(*options.certificate)) == nullptr) {
        return openFailure(OpenError::badKey,
                           options.keyName + "'s certificate is not an X.509 certificate");
    }
    Result<KeyHandle> key = receiverKey(options);
    if (!key) {
        return key.error();
    }
    std::optional<Bytes> der = internal::decryptContent(cms, key->get(), certificate.get());
    if (!der) {
        return openFailure(OpenError::cannotDecrypt,
                           name + ": cannot be opened with " + options.keyName +
                               ": another receiver's key, or the record was altered (its "
                               "authentication tag does not match)");
    }
    return std::move(*der);
}

}  // namespace

Result<EvidencePayload> decodeEvidencePayload(ByteView der, const std::string& name) {
    Result<EvidencePayload> payload = penwell::decodeEvidencePayload(der, name);
    if (!payload) {
        return openFailure(OpenError::badPayload, payload.error().message);
    }
    return payload;
}

Result<OpenedEvidence> openEvidence(ByteView evidence, const OpenOptions& options) {
    const std::string& name = options.name;
    CmsHandle cms = internal::parseContentInfo(evidence);
    if (cms == nullptr) {
        return openFailure(OpenError::malformed,
                           name + ": not a CMS evidence record (truncated, or not DER)");
    }
    OpenedEvidence opened;
    if (typeOf(cms.get()) == NID_pkcs7_signed) {
        const Result<Bytes> inner = internal::checkOperator(cms.get(), options, opened);
        if (!inner) {
            return inner.error();
        }
        cms = internal::parseContentInfo(*inner);
        if (cms == nullptr) {
            return openFailure(OpenError::malformed, name + ": the signed content is not CMS");
        }
    } else if (!options.trusted.empty()) {
        return openFailure(OpenError::unsigned_, name +
                                                     ": not signed by an operator, but a "
                                                     "trusted signer is required");
    }
    Result<Bytes> payloadDer = decryptPayload(cms.get(), options);
    if (!payloadDer) {
        return payloadDer.error();
    }
    Result<EvidencePayload> payload = decodeEvidencePayload(*payloadDer, name);
    secureWipe(*payloadDer);
    if (!payload) {
        return payload.error();
    }
    if (options.documentSha256) {
        if (!payload->documentSha256) {
            return openFailure(OpenError::noDocument,
                               name + ": names no document, so it cannot vouch for one");
        }
        if (*payload->documentSha256 != *options.documentSha256) {
            return openFailure(OpenError::wrongDocument,
                               name + ": signed for another document: SHA-256 " +
                                   hexDigits(*payload->documentSha256) + ", the document's is " +
                                   hexDigits(*options.documentSha256));
        }
    }
    opened.payload = std::move(*payload);
    return opened;
}

}  // namespace penwell::receiver
