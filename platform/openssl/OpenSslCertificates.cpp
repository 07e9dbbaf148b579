#include "penwell/platform/openssl/OpenSslCertificates.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <climits>
#include <optional>
#include <string>
#include <utility>

#include "penwell/platform/CHandle.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::openssl {
namespace {

// OPENSSL_free is a macro, so it cannot be a CHandle deleter directly.
void freeOpenSslString(unsigned char* p) noexcept {
    OPENSSL_free(p);
}

using StoreHandle = X509StoreHandle;
using OpenSslString = CHandle<unsigned char, freeOpenSslString>;

/// The value of the subject's last common name, converted to UTF-8; nullopt when the subject
/// has none. The last one is the most specific in the usual most-general-first order.
std::optional<std::string> lastCommonName(const X509_NAME* subject) {
    int index = -1;
    for (int next = X509_NAME_get_index_by_NID(subject, NID_commonName, index); next >= 0;
         next = X509_NAME_get_index_by_NID(subject, NID_commonName, index)) {
        index = next;
    }
    if (index < 0) {
        return std::nullopt;
    }
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(subject, index);
    const ASN1_STRING* value = entry != nullptr ? X509_NAME_ENTRY_get_data(entry) : nullptr;
    if (value == nullptr) {
        return std::nullopt;
    }
    unsigned char* raw = nullptr;
    const int length = ASN1_STRING_to_UTF8(&raw, value);
    OpenSslString utf8(raw);
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(utf8.get()), static_cast<std::size_t>(length));
}

/// The whole subject on one line, most specific first ("OU=Signing,O=Keyloft Ltd,C=GB"),
/// with non-ASCII text left as UTF-8 rather than escaped.
std::string oneLineSubject(const X509_NAME* subject) {
    BioHandle bio(BIO_new(BIO_s_mem()));
    if (bio == nullptr) {
        return {};
    }
    constexpr unsigned long kFlags = XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB;
    if (X509_NAME_print_ex(bio.get(), subject, 0, kFlags) < 0) {
        return {};
    }
    const char* text = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &text);
    if (length <= 0 || text == nullptr) {
        return {};
    }
    return std::string(text, static_cast<std::size_t>(length));
}

class OpenSslCertificate final : public Certificate {
public:
    explicit OpenSslCertificate(X509Handle x509) : x509_(std::move(x509)) {}

    std::string subjectSummary() const override {
        const X509_NAME* subject = X509_get_subject_name(x509_.get());
        if (subject == nullptr) {
            return {};
        }
        if (auto commonName = lastCommonName(subject)) {
            return *std::move(commonName);
        }
        return oneLineSubject(subject);
    }

    Bytes derData() const override {
        const int length = i2d_X509(x509_.get(), nullptr);
        if (length <= 0) {
            return {};
        }
        Bytes der(static_cast<std::size_t>(length));
        unsigned char* out = der.data();
        if (i2d_X509(x509_.get(), &out) != length) {
            return {};
        }
        return der;
    }

    X509* x509() const noexcept { return x509_.get(); }

private:
    X509Handle x509_;
};

std::shared_ptr<OpenSslCertificate> parseCertificate(ByteView der) {
    if (der.empty() || der.size() > static_cast<std::size_t>(LONG_MAX)) {
        return nullptr;
    }
    const unsigned char* cursor = der.data();
    X509Handle x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    // Trailing bytes mean the input is not exactly one certificate. Refusing them keeps
    // derData(), and so the fingerprint, describing all of the bytes that were given.
    if (x509 == nullptr || cursor != der.data() + der.size()) {
        return nullptr;
    }
    return std::make_shared<OpenSslCertificate>(std::move(x509));
}

class OpenSslPublicKey final : public PublicKey {
public:
    explicit OpenSslPublicKey(KeyHandle key) : key_(std::move(key)) {}

    std::size_t blockSize() const override {
        const int size = EVP_PKEY_get_size(key_.get());
        return size > 0 ? static_cast<std::size_t>(size) : 0;
    }

    Status encryptPkcs1(ByteView plainText, std::span<std::uint8_t> cipherText,
                        std::size_t& cipherTextLength) const override {
        const std::size_t modulusLength = blockSize();
        // PKCS#1 v1.5 needs at least 11 bytes of padding.
        if (modulusLength == 0 || plainText.size() + 11 > modulusLength ||
            cipherTextLength > cipherText.size() || cipherTextLength < modulusLength) {
            return errSecParam;
        }
        KeyContextHandle context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
        if (context == nullptr || EVP_PKEY_encrypt_init(context.get()) <= 0 ||
            EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) <= 0) {
            return errSecInternalComponent;
        }
        std::size_t written = cipherTextLength;
        if (EVP_PKEY_encrypt(context.get(), cipherText.data(), &written, plainText.data(),
                             plainText.size()) <= 0 ||
            written != modulusLength) {
            return errSecInternalComponent;
        }
        cipherTextLength = written;
        return errSecSuccess;
    }

private:
    KeyHandle key_;
};

class OpenSslTrust final : public Trust {
public:
    OpenSslTrust(std::shared_ptr<const OpenSslCertificate> certificate, StoreHandle anchors)
        : certificate_(std::move(certificate)), anchors_(std::move(anchors)) {}

    TrustResult evaluate() const override {
        StoreContextHandle context(X509_STORE_CTX_new());
        if (context == nullptr || X509_STORE_CTX_init(context.get(), anchors_.get(),
                                                      certificate_->x509(), nullptr) != 1) {
            return TrustResult::otherError;
        }
        const int verdict = X509_verify_cert(context.get());
        if (verdict == 1) {
            return TrustResult::trusted;
        }
        return verdict == 0 ? TrustResult::untrusted : TrustResult::otherError;
    }

    std::shared_ptr<PublicKey> copyPublicKey() const override {
        EVP_PKEY* borrowed = X509_get0_pubkey(certificate_->x509());
        // Only RSA keys encrypt; RSA-PSS keys are signature-only and do not qualify.
        if (borrowed == nullptr || EVP_PKEY_is_a(borrowed, "RSA") != 1 ||
            EVP_PKEY_up_ref(borrowed) != 1) {
            return nullptr;
        }
        return std::make_shared<OpenSslPublicKey>(KeyHandle(borrowed));
    }

private:
    std::shared_ptr<const OpenSslCertificate> certificate_;
    StoreHandle anchors_;
};

class OpenSslCertificateServices final : public CertificateServices {
public:
    std::shared_ptr<Certificate> createCertificateWithData(ByteView der) const override {
        return parseCertificate(der);
    }

    std::shared_ptr<Trust> createTrust(
        const std::shared_ptr<Certificate>& certificate) const override {
        if (certificate == nullptr) {
            return nullptr;
        }
        // A certificate from another backend is carried over through its DER encoding.
        std::shared_ptr<const OpenSslCertificate> own =
            std::dynamic_pointer_cast<const OpenSslCertificate>(certificate);
        if (own == nullptr) {
            own = parseCertificate(certificate->derData());
            if (own == nullptr) {
                return nullptr;
            }
        }
        // The basic X.509 policy with no trust anchors configured: the verdict reports chain
        // building and validity dates, and a self-signed certificate comes out untrusted.
        StoreHandle anchors(X509_STORE_new());
        if (anchors == nullptr) {
            return nullptr;
        }
        return std::make_shared<OpenSslTrust>(std::move(own), std::move(anchors));
    }
};

}  // namespace

std::shared_ptr<penwell::CertificateServices> makeCertificateServices() {
    return std::make_shared<OpenSslCertificateServices>();
}

}  // namespace penwell::openssl
