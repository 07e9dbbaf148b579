#include "penwell/receiver/OpenSignature.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <utility>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/platform/openssl/OpenSslKeys.h"
#include "penwell/receiver/Limits.h"

namespace penwell::receiver {

namespace {

/// Refuses to prompt for a pass phrase: an encrypted key is reported, not waited on.
int noPassphrase(char*, int, int, void*) {
    return -1;
}

}  // namespace

Failure signatureFailure(SignatureError code, std::string message) {
    return {kSignatureErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

struct PrivateKey::Impl {
    openssl::KeyHandle key;
};

PrivateKey::PrivateKey(std::string name)
    : impl_(std::make_unique<Impl>()), name_(std::move(name)) {}

Result<PrivateKey> PrivateKey::fromPem(std::string_view pem, std::string name) {
    PrivateKey key(std::move(name));
    // BIO_new_mem_buf takes an int length; the bound keeps it far from overflowing.
    if (pem.size() > kMaxKeyBytes) {
        return signatureFailure(SignatureError::badKey,
                                key.name_ + ": too large for a private key (at most 1 MiB)");
    }
    openssl::BioHandle bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (bio) {
        key.impl_->key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    }
    ERR_clear_error();
    if (!key.impl_->key) {
        return signatureFailure(SignatureError::badKey,
                                key.name_ + ": not an unencrypted PEM private key");
    }
    if (EVP_PKEY_is_a(key.impl_->key.get(), "RSA") != 1) {
        return signatureFailure(SignatureError::badKey, key.name_ + ": not an RSA private key");
    }
    return key;
}

Result<PrivateKey> PrivateKey::fromFile(const KeyLocation& location) {
    Result<openssl::KeyHandle> loaded = openssl::loadPrivateKey(location);
    if (!loaded) {
        return loaded.error();
    }
    PrivateKey key(location.name());
    key.impl_->key = std::move(*loaded);
    if (EVP_PKEY_is_a(key.impl_->key.get(), "RSA") != 1) {
        return signatureFailure(SignatureError::badKey, key.name_ + ": not an RSA private key");
    }
    return key;
}

PrivateKey::~PrivateKey() = default;
PrivateKey::PrivateKey(PrivateKey&& other) noexcept = default;

int PrivateKey::bits() const {
    return EVP_PKEY_get_bits(impl_->key.get());
}

Result<Bytes> PrivateKey::unwrapKeyBlob(ByteView wrapped, const std::string& wrappedName) const {
    const auto modulus = static_cast<std::size_t>(EVP_PKEY_get_size(impl_->key.get()));
    if (wrapped.size() != modulus) {
        return signatureFailure(SignatureError::wrongKey,
                                wrappedName + ": wrapped key is " + std::to_string(wrapped.size()) +
                                    " bytes, but a key wrapped for the " + std::to_string(bits()) +
                                    "-bit key in " + name_ + " is " + std::to_string(modulus) +
                                    " bytes (truncated, or wrapped for another key)");
    }
    openssl::KeyContextHandle context(
        EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
    if (!context || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0) {
        ERR_clear_error();
        return signatureFailure(SignatureError::badKey,
                                name_ + ": cannot set up RSA decryption with this key");
    }
    // Newer OpenSSL releases answer a padding failure with a random message instead of an
    // error. That defends servers against padding oracles; a receiver opening its own files
    // wants the error. (A host that unwraps keys strangers send, answering each, must not
    // echo this failure back to them.) Releases without the setting ignore the parameter.
    unsigned int implicitRejection = 0;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_uint("implicit-rejection", &implicitRejection),
        OSSL_PARAM_construct_end()};
    EVP_PKEY_CTX_set_params(context.get(), params);
    ERR_clear_error();

    Bytes blob(modulus);
    std::size_t length = blob.size();
    if (EVP_PKEY_decrypt(context.get(), blob.data(), &length, wrapped.data(), wrapped.size()) <=
        0) {
        ERR_clear_error();
        return signatureFailure(SignatureError::wrongKey,
                                wrappedName + ": cannot be unwrapped with the private key in " +
                                    name_ + " (wrong private key, or the file is corrupted)");
    }
    blob.resize(length);
    if (blob.size() != kKeyBlobSize) {
        const std::size_t got = blob.size();
        secureWipe(blob);
        return signatureFailure(SignatureError::wrongKey,
                                wrappedName + ": unwraps to " + std::to_string(got) +
                                    " bytes, expected 48 (a 32-byte AES key and a 16-byte IV)");
    }
    return blob;
}

Result<Bytes> decryptRecord(ByteView keyBlob, ByteView ciphertext, const std::string& dataName) {
    const auto corrupt = [&](const std::string& what) {
        return signatureFailure(SignatureError::corrupt, dataName + ": " + what);
    };
    if (keyBlob.size() != kKeyBlobSize) {
        return signatureFailure(SignatureError::wrongKey,
                                dataName + ": a key blob of " + std::to_string(keyBlob.size()) +
                                    " bytes cannot decrypt it; expected 48");
    }
    if (ciphertext.empty()) {
        return corrupt("empty: an encrypted record is at least one 16-byte block");
    }
    if (ciphertext.size() % Crypto::kAesBlockSize != 0) {
        return corrupt(std::to_string(ciphertext.size()) +
                       " bytes is not a whole number of 16-byte AES blocks (truncated?)");
    }
    // The blob is the 32-byte AES-256 key, then the IV.
    constexpr std::size_t kKeySize = kKeyBlobSize - Crypto::kAesBlockSize;
    Bytes plain(ciphertext.size());
    std::size_t length = 0;
    const CCCryptorStatus status =
        openssl::makeCrypto()->aesCbcPkcs7(Crypto::Operation::kDecrypt, keyBlob.first(kKeySize),
                                           keyBlob.subspan(kKeySize), ciphertext, plain, length);
    if (status != kCCSuccess) {
        if (status == kCCDecodeError) {
            return corrupt(
                "does not decrypt with the unwrapped key (bad padding: the file is corrupted or "
                "truncated, or the key belongs to another record)");
        }
        return corrupt("AES decryption failed (status " + std::to_string(status) + ")");
    }
    plain.resize(length);
    return plain;
}

Result<OpenedSignature> openSignature(const KeyLocation& privateKey,
                                      const std::filesystem::path& dataFile,
                                      const std::filesystem::path& keyFile) {
    Result<PrivateKey> key = PrivateKey::fromFile(privateKey);
    if (!key) {
        return key.error();
    }
    Result<Bytes> wrapped = filesystem::readFile(keyFile, kMaxKeyBytes, "a wrapped key");
    if (!wrapped) {
        return wrapped.error();
    }
    Result<Bytes> ciphertext =
        filesystem::readFile(dataFile, kMaxRecordBytes, "an encrypted record");
    if (!ciphertext) {
        return ciphertext.error();
    }
    Result<Bytes> blob = key->unwrapKeyBlob(*wrapped, keyFile.string());
    if (!blob) {
        return blob.error();
    }
    Result<Bytes> plaintext = decryptRecord(*blob, *ciphertext, dataFile.string());
    secureWipe(*blob);
    if (!plaintext) {
        return plaintext.error();
    }
    Result<PointRecord> record = decodeRecord(*plaintext, dataFile.string());
    if (!record) {
        return record.error();
    }
    OpenedSignature opened;
    opened.plaintext = std::move(*plaintext);
    opened.record = std::move(*record);
    opened.ciphertextBytes = ciphertext->size();
    opened.wrappedKeyBytes = wrapped->size();
    opened.keyBits = key->bits();
    return opened;
}

}  // namespace penwell::receiver
