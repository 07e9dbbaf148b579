#include "host/common/EvidenceInputs.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/filesystem/StagedFile.h"
#include "platform/openssl/OpenSslKeys.h"
#include "receiver/Limits.h"

namespace penwell::host {

namespace {

using Pkcs12Handle = CHandle<PKCS12, PKCS12_free>;
using DigestContext = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;

void freeCertificates(STACK_OF(X509) * stack) noexcept {
    sk_X509_pop_free(stack, X509_free);
}
using CertificateStack = CHandle<STACK_OF(X509), freeCertificates>;
using receiver::kMaxKeyBytes;

[[noreturn]] void refuse(EvidenceInputError code, std::string message) {
    throw Refusal{{kEvidenceInputDomain, static_cast<std::int64_t>(code), std::move(message)}};
}

Bytes readFile(const std::filesystem::path& path, std::string_view what) {
    return take(filesystem::readFile(path, kMaxKeyBytes, what));
}

std::string password(const std::optional<std::filesystem::path>& passwordFile,
                     const std::filesystem::path& key) {
    if (passwordFile) {
        Bytes bytes = readFile(*passwordFile, "a password");
        std::string text(bytes.begin(), bytes.end());
        secureWipe(bytes);
        text.erase(std::min(text.find_first_of("\r\n"), text.size()));
        return text;
    }
    if (const char* fromEnvironment = std::getenv(kSignPasswordVariable)) {
        return fromEnvironment;
    }
    refuse(EvidenceInputError::needsPassword,
           key.string() + ": a PKCS#12 file needs its password in --sign-password-file or $" +
               std::string(kSignPasswordVariable));
}

Bytes pem(EVP_PKEY* key) {
    const openssl::BioHandle bio(BIO_new(BIO_s_mem()));
    if (bio == nullptr ||
        PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        return {};
    }
    return openssl::bioBytes(bio.get());
}

Sha256 digestFile(const std::filesystem::path& document) {
    const auto unreadable = [&](const char* what) {
        refuse(EvidenceInputError::unreadableDocument, document.string() + ": " + what);
    };
    std::ifstream in(document, std::ios::binary);
    std::error_code error;
    if (!in || std::filesystem::is_directory(document, error)) {
        unreadable("cannot read the document");
    }
    const DigestContext context(EVP_MD_CTX_new());
    if (context == nullptr || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        unreadable("SHA-256 is not available");
    }
    char buffer[1 << 16];
    while (in) {
        in.read(buffer, sizeof buffer);
        if (in.gcount() > 0 &&
            EVP_DigestUpdate(context.get(), buffer, static_cast<std::size_t>(in.gcount())) != 1) {
            unreadable("cannot digest the document");
        }
    }
    if (in.bad()) {
        unreadable("read error in the document");
    }
    Sha256 digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        unreadable("cannot digest the document");
    }
    return digest;
}

SigningIdentity loadIdentity(const std::filesystem::path& key,
                             const std::optional<std::filesystem::path>& certificate,
                             const std::optional<std::filesystem::path>& passwordFile);

}  // namespace

Result<Sha256> documentDigest(const std::filesystem::path& document) {
    return refusing([&] { return digestFile(document); });
}

Result<Sha256> documentDigest(ByteView document, const std::string& name) {
    Sha256 digest{};
    unsigned int length = 0;
    if (EVP_Digest(document.data(), document.size(), digest.data(), &length, EVP_sha256(),
                   nullptr) != 1 ||
        length != digest.size()) {
        return Failure{kEvidenceInputDomain,
                       static_cast<std::int64_t>(EvidenceInputError::unreadableDocument),
                       name + ": cannot digest the document"};
    }
    return digest;
}

Result<SigningIdentity> loadSigningIdentity(
    const std::filesystem::path& key, const std::optional<std::filesystem::path>& certificate,
    const std::optional<std::filesystem::path>& passwordFile) {
    return refusing([&] { return loadIdentity(key, certificate, passwordFile); });
}

namespace {

/// Where the operator key's secret comes from.
KeyLocation operatorKey(const std::filesystem::path& key,
                        const std::optional<std::filesystem::path>& passwordFile) {
    KeyLocation location(key);
    location.passphraseFile = passwordFile;
    location.passphraseVariable = kSignPasswordVariable;
    location.passphraseOption = "--sign-password-file";
    return location;
}

/// A key on a token, checked now against its certificate (it never leaves the token).
SigningIdentity tokenIdentity(const KeyLocation& key,
                              const std::optional<std::filesystem::path>& certificate) {
    if (!certificate) {
        refuse(EvidenceInputError::needsCertificate,
               key.name() + ": needs --sign-cert (a token key's certificate)");
    }
    SigningIdentity identity;
    identity.certificate = readFile(*certificate, "a certificate");
    const openssl::KeyHandle loaded = take(openssl::loadPrivateKey(key));
    const openssl::X509Handle own = openssl::readCertificate(identity.certificate);
    if (own == nullptr || X509_check_private_key(own.get(), loaded.get()) != 1) {
        ERR_clear_error();
        refuse(EvidenceInputError::wrongCertificate,
               certificate->string() + ": not the certificate of the token key " + key.name());
    }
    identity.tokenKey = key;
    return identity;
}

SigningIdentity loadIdentity(const std::filesystem::path& key,
                             const std::optional<std::filesystem::path>& certificate,
                             const std::optional<std::filesystem::path>& passwordFile) {
    const KeyLocation location = operatorKey(key, passwordFile);
    if (location.onToken()) {
        return tokenIdentity(location, certificate);
    }
    SigningIdentity identity;
    Bytes keyBytes = readFile(key, "a signing key");
    const unsigned char* p = keyBytes.data();
    const Pkcs12Handle pkcs12(d2i_PKCS12(nullptr, &p, static_cast<long>(keyBytes.size())));
    ERR_clear_error();
    if (pkcs12 == nullptr) {
        if (!certificate) {
            refuse(EvidenceInputError::needsCertificate,
                   key.string() +
                       ": not a PKCS#12 file; a PEM or DER private key needs --sign-cert with its "
                       "certificate");
        }
        // An encrypted key is opened once, here: the signatures then use it from memory.
        Result<openssl::KeyHandle> parsed = openssl::parsePrivateKey(keyBytes, location);
        secureWipe(keyBytes);
        identity.privateKey = pem(take(std::move(parsed)).get());
        identity.certificate = readFile(*certificate, "a certificate");
        return identity;
    }
    secureWipe(keyBytes);
    std::string secret = password(passwordFile, key);
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawChain = nullptr;
    const int parsed =
        PKCS12_parse(pkcs12.get(), secret.c_str(), &rawKey, &rawCertificate, &rawChain);
    secureWipe(secret);
    const openssl::KeyHandle privateKey(rawKey);
    const openssl::X509Handle own(rawCertificate);
    const CertificateStack chain(rawChain);
    ERR_clear_error();
    if (parsed != 1 || privateKey == nullptr || own == nullptr) {
        refuse(EvidenceInputError::badPkcs12,
               key.string() +
                   ": cannot open the PKCS#12 file: wrong password, or it holds no key and "
                   "certificate");
    }
    identity.privateKey = pem(privateKey.get());
    // The operator's certificate first, then the file's intermediates, which the signatures
    // carry (a receiver may trust only the root).
    identity.certificate = openssl::pemOf(own.get());
    for (int i = 0; i < sk_X509_num(chain.get()); ++i) {
        const Bytes next = openssl::pemOf(sk_X509_value(chain.get(), i));
        identity.certificate.insert(identity.certificate.end(), next.begin(), next.end());
    }
    if (certificate) {
        const Bytes given = readFile(*certificate, "a certificate");
        const openssl::X509Handle other = openssl::readCertificate(given);
        if (other == nullptr || X509_cmp(other.get(), own.get()) != 0) {
            refuse(EvidenceInputError::wrongCertificate,
                   certificate->string() + ": not the certificate inside the PKCS#12 file " +
                       key.string());
        }
    }
    return identity;
}

}  // namespace

}  // namespace penwell::host
