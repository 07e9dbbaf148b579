#include "Support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/CHandle.h"
#include "platform/openssl/OpenSslCrypto.h"
#include "secure/AES.h"

namespace penwell::tools::testing {

Bytes wrapWithCertificate(ByteView certificateDer, ByteView plain) {
    const unsigned char* cursor = certificateDer.data();
    CHandle<X509, X509_free> certificate(
        d2i_X509(nullptr, &cursor, static_cast<long>(certificateDer.size())));
    CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free> context(
        certificate
            ? EVP_PKEY_CTX_new_from_pkey(nullptr, X509_get0_pubkey(certificate.get()), nullptr)
            : nullptr);
    Bytes out(512);
    std::size_t length = out.size();
    if (!context || EVP_PKEY_encrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_encrypt(context.get(), out.data(), &length, plain.data(), plain.size()) <= 0) {
        throw std::runtime_error("test wrap failed");
    }
    out.resize(length);
    return out;
}

Sealed seal(ByteView record, ByteView certificateDer) {
    const AES aes(openssl::makeCrypto());
    std::optional<Bytes> iv, key;
    auto ciphertext = aes.encryptedDataForData(record, "a fresh password", &iv, &key);
    if (!ciphertext || !iv || !key) {
        throw std::runtime_error("test encryption failed");
    }
    Sealed sealed;
    sealed.ciphertext = std::move(*ciphertext);
    sealed.keyBlob = *key;
    sealed.keyBlob.insert(sealed.keyBlob.end(), iv->begin(), iv->end());
    sealed.wrappedKey = wrapWithCertificate(certificateDer, sealed.keyBlob);
    return sealed;
}

const NewCertificate& receiverCertificate() {
    static const NewCertificate made = makeSelfSignedCertificate(2048, 30);
    return made;
}

void writeFile(const std::filesystem::path& path, ByteView bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    writeFile(path, asBytes(text));
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> listFolder(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace penwell::tools::testing
