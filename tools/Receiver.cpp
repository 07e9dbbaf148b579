#include "tools/Receiver.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <utility>

#include "platform/CHandle.h"
#include "platform/openssl/OpenSslCrypto.h"
#include "secure/AES.h"
#include "tools/Limits.h"
#include "tools/StagedFile.h"
#include "tools/ToolError.h"

namespace penwell::tools {

namespace {

using Pkey = CHandle<EVP_PKEY, EVP_PKEY_free>;
using PkeyContext = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using Bio = CHandle<BIO, BIO_free_all>;

/// Refuses to prompt for a pass phrase: an encrypted key is reported, not waited on.
int noPassphrase(char*, int, int, void*) {
    return -1;
}

}  // namespace

struct PrivateKey::Impl {
    Pkey key;
};

PrivateKey::PrivateKey(std::string_view pem, std::string name)
    : impl_(std::make_unique<Impl>()), name_(std::move(name)) {
    // BIO_new_mem_buf takes an int length; the bound keeps it far from overflowing.
    if (pem.size() > kMaxKeyBytes) {
        throw ToolError(name_ + ": too large for a private key (at most 1 MiB)");
    }
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (bio) {
        impl_->key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    }
    ERR_clear_error();
    if (!impl_->key) {
        throw ToolError(name_ + ": not an unencrypted PEM private key");
    }
    if (EVP_PKEY_is_a(impl_->key.get(), "RSA") != 1) {
        throw ToolError(name_ + ": not an RSA private key");
    }
}

PrivateKey PrivateKey::fromFile(const std::filesystem::path& path) {
    Bytes pem = readFile(path, kMaxKeyBytes, "a private key");
    PrivateKey key(std::string_view(reinterpret_cast<const char*>(pem.data()), pem.size()),
                   path.string());
    secureWipe(pem);
    return key;
}

PrivateKey::~PrivateKey() = default;
PrivateKey::PrivateKey(PrivateKey&& other) noexcept = default;

int PrivateKey::bits() const {
    return EVP_PKEY_get_bits(impl_->key.get());
}

Bytes PrivateKey::unwrapKeyBlob(ByteView wrapped, const std::string& wrappedName) const {
    const auto modulus = static_cast<std::size_t>(EVP_PKEY_get_size(impl_->key.get()));
    if (wrapped.size() != modulus) {
        throw ToolError(wrappedName + ": wrapped key is " + std::to_string(wrapped.size()) +
                        " bytes, but a key wrapped for the " + std::to_string(bits()) +
                        "-bit key in " + name_ + " is " + std::to_string(modulus) +
                        " bytes (truncated, or wrapped for another key)");
    }
    PkeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, impl_->key.get(), nullptr));
    if (!context || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0) {
        ERR_clear_error();
        throw ToolError(name_ + ": cannot set up RSA decryption with this key");
    }
    // Newer OpenSSL releases answer a padding failure with a random message instead of an
    // error. That defends servers against timing oracles; this one-shot tool wants the error.
    // Releases without the setting ignore the parameter.
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
        throw ToolError(wrappedName + ": cannot be unwrapped with the private key in " + name_ +
                        " (wrong private key, or the file is corrupted)");
    }
    blob.resize(length);
    if (blob.size() != kKeyBlobSize) {
        const std::size_t got = blob.size();
        secureWipe(blob);
        throw ToolError(wrappedName + ": unwraps to " + std::to_string(got) +
                        " bytes, expected 48 (a 32-byte AES key and a 16-byte IV)");
    }
    return blob;
}

Bytes decryptRecord(ByteView keyBlob, ByteView ciphertext, const std::string& dataName) {
    if (keyBlob.size() != kKeyBlobSize) {
        throw ToolError(dataName + ": a key blob of " + std::to_string(keyBlob.size()) +
                        " bytes cannot decrypt it; expected 48");
    }
    if (ciphertext.empty()) {
        throw ToolError(dataName + ": empty: an encrypted record is at least one 16-byte block");
    }
    if (ciphertext.size() % kAlgorithmBlockSize != 0) {
        throw ToolError(dataName + ": " + std::to_string(ciphertext.size()) +
                        " bytes is not a whole number of 16-byte AES blocks (truncated?)");
    }
    const AES aes(openssl::makeCrypto());
    Error error;
    auto plain = aes.decryptedDataForData(ciphertext, keyBlob.first(kAlgorithmKeySize),
                                          keyBlob.subspan(kAlgorithmKeySize), &error);
    if (!plain) {
        if (error.code == kCCDecodeError) {
            throw ToolError(dataName +
                            ": does not decrypt with the unwrapped key (bad padding: the file is "
                            "corrupted or truncated, or the key belongs to another record)");
        }
        throw ToolError(dataName + ": AES decryption failed (status " + std::to_string(error.code) +
                        ")");
    }
    return std::move(*plain);
}

OpenedSignature openSignature(const std::filesystem::path& privateKeyPem,
                              const std::filesystem::path& dataFile,
                              const std::filesystem::path& keyFile) {
    const PrivateKey key = PrivateKey::fromFile(privateKeyPem);
    const Bytes wrapped = readFile(keyFile, kMaxKeyBytes, "a wrapped key");
    const Bytes ciphertext = readFile(dataFile, kMaxRecordBytes, "an encrypted record");
    Bytes blob = key.unwrapKeyBlob(wrapped, keyFile.string());
    OpenedSignature opened;
    try {
        opened.plaintext = decryptRecord(blob, ciphertext, dataFile.string());
    } catch (...) {
        secureWipe(blob);
        throw;
    }
    secureWipe(blob);
    opened.record = decodeRecord(opened.plaintext, dataFile.string());
    opened.ciphertextBytes = ciphertext.size();
    opened.wrappedKeyBytes = wrapped.size();
    opened.keyBits = key.bits();
    return opened;
}

receiver::OpenedEvidence openEvidenceFile(const std::filesystem::path& evidence,
                                          const std::filesystem::path& privateKey,
                                          const std::optional<Sha256>& document,
                                          const std::vector<std::filesystem::path>& trust) {
    return openEvidenceRecord(readFile(evidence, kMaxRecordBytes, "an evidence record"),
                              evidence.string(), privateKey, document, trust);
}

receiver::OpenedEvidence openEvidenceRecord(ByteView record, const std::string& name,
                                            const std::filesystem::path& privateKey,
                                            const std::optional<Sha256>& document,
                                            const std::vector<std::filesystem::path>& trust) {
    receiver::OpenOptions open;
    open.name = name;
    open.keyName = privateKey.string();
    open.documentSha256 = document;
    for (const auto& trusted : trust) {
        open.trusted.push_back(readFile(trusted, kMaxKeyBytes, "a certificate"));
    }
    open.privateKey = readFile(privateKey, kMaxKeyBytes, "a private key");
    Result<receiver::OpenedEvidence> opened = receiver::openEvidence(record, open);
    secureWipe(open.privateKey);
    if (!opened) {
        throw ToolError(opened.error().message);
    }
    return std::move(*opened);
}

}  // namespace penwell::tools
