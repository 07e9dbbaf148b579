#include "penwell/secure/AES.h"

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace penwell {
namespace {

static_assert(kPBKDFRounds <= std::numeric_limits<std::uint32_t>::max());

// The one shape of every error the group reports: its domain and the crypto status, no text.
void report(Error* error, CCCryptorStatus status) {
    if (error != nullptr) {
        *error = Error{std::string(kVellCryptManagerErrorDomain), status};
    }
}

}  // namespace

AES::AES(std::shared_ptr<Crypto> crypto) : crypto_(std::move(crypto)) {
    if (!crypto_) {
        throw std::invalid_argument("AES needs a crypto library");
    }
}

std::optional<Bytes> AES::AESKeyForPassword(std::string_view password, ByteView salt) const {
    Bytes derivedKey(kAlgorithmKeySize, 0);
    if (crypto_->pbkdf2HmacSha1(asBytes(password), salt, static_cast<std::uint32_t>(kPBKDFRounds),
                                derivedKey) != kCCSuccess) {
        secureWipe(derivedKey);
        return std::nullopt;
    }
    return derivedKey;
}

std::optional<Bytes> AES::randomDataOfLength(std::size_t length) const {
    Bytes buffer(length, 0);
    if (crypto_->randomBytes(buffer) != kCCSuccess) {
        secureWipe(buffer);
        return std::nullopt;
    }
    return buffer;
}

std::optional<Bytes> AES::encryptedDataForData(ByteView data, std::string_view password,
                                               std::optional<Bytes>* iv,
                                               std::optional<Bytes>* AESkey, Error* error) const {
    if (iv == nullptr) {
        throw AssertionFailure("IV must not be NULL");
    }
    if (AESkey == nullptr) {
        throw AssertionFailure("salt must not be NULL");
    }

    // A failed draw stops here: a missing IV must not turn into an all-zero one, nor a missing
    // salt into an empty one, either of which would make the ciphertext predictable.
    *iv = randomDataOfLength(kAlgorithmIVSize);
    if (!iv->has_value()) {
        AESkey->reset();
        report(error, kCCRNGFailure);
        return std::nullopt;
    }
    const std::optional<Bytes> salt = randomDataOfLength(kPBKDFSaltSize);
    if (!salt) {
        AESkey->reset();
        report(error, kCCRNGFailure);
        return std::nullopt;
    }

    *AESkey = AESKeyForPassword(password, *salt);
    if (!AESkey->has_value()) {
        // Without a key there is nothing to encrypt under; report what a cipher handed no key
        // would report, rather than hand the cipher an empty key and rely on its refusal.
        report(error, kCCParamError);
        return std::nullopt;
    }

    Bytes cipherData(data.size() + kAlgorithmBlockSize, 0);
    std::size_t outLength = 0;
    const CCCryptorStatus status = crypto_->aesCbcPkcs7(Crypto::Operation::kEncrypt, **AESkey, **iv,
                                                        data, cipherData, outLength);
    if (status != kCCSuccess) {
        report(error, status);
        return std::nullopt;
    }
    cipherData.resize(outLength);
    return cipherData;
}

std::optional<Bytes> AES::decryptedDataForData(ByteView data, ByteView key, ByteView iv,
                                               Error* error) const {
    // The plaintext is never longer than the ciphertext: no extra block of room.
    Bytes plainData(data.size(), 0);
    std::size_t outLength = 0;
    const CCCryptorStatus status =
        crypto_->aesCbcPkcs7(Crypto::Operation::kDecrypt, key, iv, data, plainData, outLength);
    if (status != kCCSuccess) {
        secureWipe(plainData);
        report(error, status);
        return std::nullopt;
    }
    plainData.resize(outLength);
    return plainData;
}

Bytes AES::sha1Digest(ByteView data) const {
    const Crypto::Sha1Digest digest = crypto_->sha1(data);
    return Bytes(digest.begin(), digest.end());
}

Bytes AES::md5Digest(ByteView data) const {
    const Crypto::Md5Digest digest = crypto_->md5(data);
    return Bytes(digest.begin(), digest.end());
}

}  // namespace penwell
