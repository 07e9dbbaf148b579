#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include "penwell/platform/SigningIdentityFiles.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell {

namespace {

using openssl::KeyHandle;
using openssl::X509Handle;
using Pkcs12Handle = CHandle<PKCS12, PKCS12_free>;

using CertificateStack = openssl::CertificateStackHandle;

Failure refusal(IdentityError code, const std::string& where, const std::string& what) {
    return Failure::at(kIdentityErrorDomain, static_cast<std::int64_t>(code), where, what);
}

/// The key, the certificate it must belong to, and the intermediates, as they are gathered.
struct Parts {
    KeyHandle key;  // null for a token key, which never leaves the token
    std::vector<X509Handle> certificates;  // the key's first
};

/// Every certificate of a file, refused when it holds none.
Result<std::vector<X509Handle>> certificatesIn(const std::filesystem::path& file) {
    Result<Bytes> bytes = filesystem::readFile(file, kMaxKeyFileBytes, "a certificate");
    if (!bytes) {
        return bytes.error();
    }
    std::vector<X509Handle> all = openssl::readCertificates(*bytes);
    openssl::clearErrors();
    if (all.empty()) {
        return refusal(IdentityError::notCertificate, file.string(),
                       "not a certificate (PEM or DER)");
    }
    return all;
}

KeyLocation locationOf(const SigningIdentityFiles& files) {
    KeyLocation location;
    location.key = files.key;
    location.passphraseFile = files.passwordFile;
    location.passphraseVariable = files.passwordVariable;
    location.passphraseOption = files.passwordOption;
    return location;
}

/// A PKCS#12 file's key, its certificate and the intermediates it carries.
Result<Parts> fromPkcs12(PKCS12* pkcs12, const KeyLocation& location) {
    Result<std::optional<std::string>> secret = readPassphrase(location);
    if (!secret) {
        return secret.error();
    }
    if (!*secret) {
        return refusal(IdentityError::needsPassword, location.key,
                       "a PKCS#12 file needs its password in " + passphraseSources(location));
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCertificate = nullptr;
    STACK_OF(X509)* rawChain = nullptr;
    const int parsed = PKCS12_parse(pkcs12, (*secret)->c_str(), &rawKey,
                                    &rawCertificate, &rawChain);
    secureWipe(**secret);
    Parts parts;
    parts.key.reset(rawKey);
    X509Handle own(rawCertificate);
    const CertificateStack chain(rawChain);
    openssl::clearErrors();
    if (parsed != 1 || parts.key == nullptr || own == nullptr) {
        return refusal(IdentityError::badPkcs12, location.key,
                       "cannot open the PKCS#12 file: wrong password, or it holds no key and "
                       "certificate");
    }
    parts.certificates.push_back(std::move(own));
    for (int i = 0; i < sk_X509_num(chain.get()); ++i) {
        X509* next = sk_X509_value(chain.get(), i);
        X509_up_ref(next);
        parts.certificates.emplace_back(next);
    }
    return parts;
}

/// A PEM, DER or token key with the certificate the options name.
Result<Parts> withCertificate(const SigningIdentityFiles& files, const KeyLocation& location,
                              Result<KeyHandle> key) {
    if (!key) {
        return key.error();
    }
    Parts parts;
    parts.key = std::move(*key);
    Result<std::vector<X509Handle>> certificates = certificatesIn(*files.certificate);
    if (!certificates) {
        return certificates.error();
    }
    parts.certificates = std::move(*certificates);
    if (X509_check_private_key(parts.certificates.front().get(), parts.key.get()) != 1) {
        openssl::clearErrors();
        return refusal(IdentityError::wrongCertificate, files.certificate->string(),
                       "not the certificate of the key " + location.name());
    }
    return parts;
}

/// The certificate --sign-cert names beside a PKCS#12 file must be the file's own.
MaybeFailure checkNamedCertificate(const SigningIdentityFiles& files, Parts& parts) {
    Result<std::vector<X509Handle>> named = certificatesIn(*files.certificate);
    if (!named) {
        return named.error();
    }
    if (X509_cmp(named->front().get(), parts.certificates.front().get()) != 0) {
        return refusal(IdentityError::wrongCertificate, files.certificate->string(),
                       "not the certificate inside the PKCS#12 file " + files.key);
    }
    for (std::size_t i = 1; i < named->size(); ++i) {
        parts.certificates.push_back(std::move((*named)[i]));
    }
    return std::nullopt;
}

Result<Parts> gather(const SigningIdentityFiles& files, const KeyLocation& location) {
    if (location.onToken()) {
        if (!files.certificate) {
            return refusal(IdentityError::needsCertificate, location.name(),
                           "needs " + files.certificateOption + " (a token key's certificate)");
        }
        return withCertificate(files, location, openssl::loadPrivateKey(location));
    }
    Result<Bytes> keyBytes = filesystem::readFile(files.key, kMaxKeyFileBytes, "a signing key");
    if (!keyBytes) {
        return keyBytes.error();
    }
    const unsigned char* p = keyBytes->data();
    const Pkcs12Handle pkcs12(d2i_PKCS12(nullptr, &p, static_cast<long>(keyBytes->size())));
    openssl::clearErrors();
    if (pkcs12 != nullptr) {
        secureWipe(*keyBytes);
        Result<Parts> parts = fromPkcs12(pkcs12.get(), location);
        if (parts && files.certificate) {
            if (MaybeFailure refused = checkNamedCertificate(files, *parts)) {
                return *refused;
            }
        }
        return parts;
    }
    if (!files.certificate) {
        secureWipe(*keyBytes);
        return refusal(IdentityError::needsCertificate, files.key,
                       "not a PKCS#12 file; a PEM or DER private key needs " +
                           files.certificateOption + " with its certificate");
    }
    Result<KeyHandle> key = openssl::parsePrivateKey(*keyBytes, location);
    secureWipe(*keyBytes);
    return withCertificate(files, location, std::move(key));
}

/// Appends `certificate` as PEM unless an equal one is there already.
void appendOnce(SigningIdentity& identity, std::vector<X509*>& written, X509* certificate) {
    for (X509* earlier : written) {
        if (X509_cmp(earlier, certificate) == 0) {
            return;
        }
    }
    written.push_back(certificate);
    const Bytes pem = openssl::pemOf(certificate);
    identity.certificate.insert(identity.certificate.end(), pem.begin(), pem.end());
}

}  // namespace

Result<SigningIdentity> loadSigningIdentity(const SigningIdentityFiles& files) {
    const KeyLocation location = locationOf(files);
    Result<Parts> parts = gather(files, location);
    if (!parts) {
        return parts.error();
    }
    if (files.chain) {
        Result<std::vector<X509Handle>> chain = certificatesIn(*files.chain);
        if (!chain) {
            return chain.error();
        }
        for (X509Handle& next : *chain) {
            parts->certificates.push_back(std::move(next));
        }
    }
    SigningIdentity identity;
    if (location.onToken()) {
        identity.tokenKey = location;
    } else {
        const openssl::BioHandle bio(BIO_new(BIO_s_mem()));
        if (bio == nullptr || PEM_write_bio_PrivateKey(bio.get(), parts->key.get(), nullptr,
                                                       nullptr, 0, nullptr, nullptr) != 1) {
            openssl::clearErrors();
            return Failure::at(kKeyErrorDomain, static_cast<std::int64_t>(KeyError::notAKey),
                               location.name(), "the key cannot be kept in memory");
        }
        identity.privateKey = openssl::bioBytes(bio.get());
    }
    std::vector<X509*> written;
    for (const X509Handle& certificate : parts->certificates) {
        appendOnce(identity, written, certificate.get());
    }
    return identity;
}

}  // namespace penwell
