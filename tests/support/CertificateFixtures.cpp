#include "support/CertificateFixtures.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>

#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/secure/AES.h"

namespace penwell::test {
namespace {

void freeBio(BIO* bio) {
    BIO_free_all(bio);
}
using BioHandle = CHandle<BIO, freeBio>;
using X509Handle = CHandle<X509, X509_free>;
using KeyContext = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

void require(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test fixture failed: ") + what);
    }
}

Bytes readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    require(static_cast<bool>(in), "open file");
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

PrivateKey generateRsaKey(int bits) {
    PrivateKey key(EVP_RSA_gen(static_cast<unsigned int>(bits)));
    require(key != nullptr, "RSA key generation");
    return key;
}

PrivateKey generateKey(const char* kind) {
    PrivateKey key(std::string_view(kind) == "ED25519" ? EVP_PKEY_Q_keygen(nullptr, nullptr, kind)
                                                       : EVP_EC_gen(kind));
    require(key != nullptr, "key generation");
    return key;
}

std::string keyPem(EVP_PKEY* key, const std::string& passphrase) {
    const BioHandle bio(BIO_new(BIO_s_mem()));
    require(bio != nullptr, "BIO_new");
    const bool encrypted = !passphrase.empty();
    require(PEM_write_bio_PKCS8PrivateKey(
                bio.get(), key, encrypted ? EVP_aes_256_cbc() : nullptr,
                encrypted ? const_cast<char*>(passphrase.data()) : nullptr,
                static_cast<int>(passphrase.size()), nullptr, nullptr) == 1,
            "PEM key");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string certificatePem(ByteView der) {
    const unsigned char* p = der.data();
    const X509Handle certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    const BioHandle bio(BIO_new(BIO_s_mem()));
    require(certificate != nullptr && bio != nullptr &&
                PEM_write_bio_X509(bio.get(), certificate.get()) == 1,
            "PEM certificate");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

Bytes makeSelfSignedDer(EVP_PKEY* key, const std::vector<NameEntry>& subject,
                        const std::string& keyUsage, std::pair<long, long> validDays) {
    X509Handle x509(X509_new());
    require(x509 != nullptr, "X509_new");
    require(X509_set_version(x509.get(), X509_VERSION_3) == 1, "version");
    require(ASN1_INTEGER_set(X509_get_serialNumber(x509.get()), 4242) == 1, "serial");
    require(X509_gmtime_adj(X509_getm_notBefore(x509.get()), 3600L * 24 * validDays.first) !=
                nullptr,
            "notBefore");
    require(X509_gmtime_adj(X509_getm_notAfter(x509.get()), 3600L * 24 * validDays.second) !=
                nullptr,
            "notAfter");
    X509_NAME* name = X509_get_subject_name(x509.get());
    for (const auto& [field, value] : subject) {
        require(X509_NAME_add_entry_by_txt(name, field.c_str(), MBSTRING_UTF8,
                                           reinterpret_cast<const unsigned char*>(value.data()),
                                           static_cast<int>(value.size()), -1, 0) == 1,
                "subject entry");
    }
    require(X509_set_issuer_name(x509.get(), name) == 1, "issuer");
    require(X509_set_pubkey(x509.get(), key) == 1, "public key");
    if (!keyUsage.empty()) {
        X509_EXTENSION* usage =
            X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, keyUsage.c_str());
        require(usage != nullptr && X509_add_ext(x509.get(), usage, -1) == 1, "key usage");
        X509_EXTENSION_free(usage);
    }
    // Ed25519 signs without a separate digest.
    const EVP_MD* digest = EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519 ? nullptr : EVP_sha256();
    require(X509_sign(x509.get(), key, digest) > 0, "signature");
    const int length = i2d_X509(x509.get(), nullptr);
    require(length > 0, "DER length");
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    require(i2d_X509(x509.get(), &out) == length, "DER encoding");
    return der;
}

std::filesystem::path demoCertificatePath() {
    return std::filesystem::path(PENWELL_SOURCE_DIR) / "demo-certificate" / "Penwell.dat";
}

Bytes demoCertificateDer() {
    return readFile(demoCertificatePath());
}

PrivateKey demoPrivateKey() {
    const auto path =
        std::filesystem::path(PENWELL_SOURCE_DIR) / "demo-certificate" / "demo-private-key.pem";
    BioHandle bio(BIO_new_file(path.c_str(), "r"));
    require(bio != nullptr, "open demo private key");
    PrivateKey key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    require(key != nullptr, "read demo private key");
    return key;
}

Bytes decryptPkcs1(EVP_PKEY* key, ByteView cipherText) {
    KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    Bytes plain(static_cast<std::size_t>(EVP_PKEY_get_size(key)));
    std::size_t length = plain.size();
    if (context == nullptr || EVP_PKEY_decrypt_init(context.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0 ||
        EVP_PKEY_decrypt(context.get(), plain.data(), &length, cipherText.data(),
                         cipherText.size()) <= 0) {
        return {};
    }
    plain.resize(length);
    return plain;
}

void writeFile(const std::filesystem::path& path, ByteView contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()),
              static_cast<std::streamsize>(contents.size()));
    require(static_cast<bool>(out), "write file");
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "penwell-test-XXXXXX").string();
    require(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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

void writeFile(const std::filesystem::path& path, const std::string& text) {
    writeFile(path, asBytes(text));
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Bytes readBytes(const std::filesystem::path& path) {
    const std::string text = readText(path);
    return Bytes(text.begin(), text.end());
}

std::vector<std::string> listFolder(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace penwell::test
