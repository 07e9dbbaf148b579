#include "penwell/platform/openssl/OpenSslCms.h"

#include <openssl/core_names.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <string>

#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::openssl {
namespace {

Failure failure(CmsError code, std::string message) {
    clearErrors();
    return {kCmsErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

Result<Bytes> finish(CMS_ContentInfo* cms, ByteView content, const char* doing) {
    const BioHandle in = memoryBio(content);
    if (in == nullptr || CMS_final(cms, in.get(), nullptr, CMS_BINARY) != 1) {
        return failure(CmsError::library, std::string(doing) + " failed in OpenSSL");
    }
    unsigned char* der = nullptr;
    const int length = i2d_CMS_ContentInfo(cms, &der);
    if (length <= 0) {
        return failure(CmsError::library, std::string(doing) + ": cannot encode the result");
    }
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

/// "recipient N (SUBJECT)", for messages.
std::string recipientName(std::size_t index, X509* certificate) {
    std::string name = "recipient " + std::to_string(index + 1);
    if (certificate != nullptr) {
        name += " (" + subjectLine(certificate) + ")";
    }
    return name;
}

/// Whether a key usage extension, when the certificate has one, allows `usage`.
bool usageAllows(X509* certificate, std::uint32_t usage) {
    return (X509_get_extension_flags(certificate) & EXFLAG_KUSAGE) == 0 ||
           (X509_get_key_usage(certificate) & usage) != 0;
}

/// RSAES-OAEP with SHA-256 and MGF1-SHA-256 for an RSA recipient.
MaybeFailure addKeyTransport(CMS_ContentInfo* cms, X509* recipient, const std::string& who) {
    if (!usageAllows(recipient, KU_KEY_ENCIPHERMENT)) {
        return failure(CmsError::badCertificate,
                       who + ": its key usage does not allow key encipherment");
    }
    // CMS_KEY_PARAM leaves the key-transport context open for the OAEP parameters.
    CMS_RecipientInfo* info = CMS_add1_recipient_cert(cms, recipient, CMS_KEY_PARAM);
    EVP_PKEY_CTX* context = info ? CMS_RecipientInfo_get0_pkey_ctx(info) : nullptr;
    if (context == nullptr || EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) <= 0 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(context, EVP_sha256()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(context, EVP_sha256()) <= 0) {
        return failure(CmsError::library, who + ": RSAES-OAEP with SHA-256 cannot be set up");
    }
    return std::nullopt;
}

/// Ephemeral-static ECDH for an EC recipient (RFC 5753): the X9.63 KDF with the curve's own
/// strength of SHA-2 (OpenSSL's default would be SHA-1), the content key wrapped with AES-256.
MaybeFailure addKeyAgreement(CMS_ContentInfo* cms, X509* recipient, EVP_PKEY* key,
                             const std::string& who) {
    char curve[64] = {};
    std::size_t length = 0;
    EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, curve, sizeof curve, &length);
    const std::string group = curve;
    const EVP_MD* kdf = group == "prime256v1" || group == "P-256" ? EVP_sha256()
                        : group == "secp384r1" || group == "P-384" ? EVP_sha384()
                                                                   : nullptr;
    if (kdf == nullptr) {
        return failure(CmsError::badCertificate,
                       who + ": its EC key is on " + (group.empty() ? "an unnamed curve" : group) +
                           ", not P-256 or P-384");
    }
    if (!usageAllows(recipient, KU_KEY_AGREEMENT)) {
        return failure(CmsError::badCertificate,
                       who + ": its key usage does not allow key agreement");
    }
    CMS_RecipientInfo* info = CMS_add1_recipient_cert(cms, recipient, CMS_KEY_PARAM);
    EVP_PKEY_CTX* context = info ? CMS_RecipientInfo_get0_pkey_ctx(info) : nullptr;
    EVP_CIPHER_CTX* wrap = info ? CMS_RecipientInfo_kari_get0_ctx(info) : nullptr;
    if (context == nullptr || wrap == nullptr ||
        EVP_PKEY_CTX_set_ecdh_kdf_md(context, kdf) <= 0 ||
        EVP_EncryptInit_ex(wrap, EVP_aes_256_wrap(), nullptr, nullptr, nullptr) != 1) {
        return failure(CmsError::library, who + ": ECDH key agreement cannot be set up");
    }
    return std::nullopt;
}

/// Adds the recipient whose certificate is `certificateBytes`, the `index`th given.
MaybeFailure addRecipient(CMS_ContentInfo* cms, ByteView certificateBytes, std::size_t index) {
    const X509Handle recipient = readCertificate(certificateBytes);
    if (recipient == nullptr) {
        return failure(CmsError::badCertificate,
                       recipientName(index, nullptr) + ": not an X.509 certificate");
    }
    const std::string who = recipientName(index, recipient.get());
    EVP_PKEY* key = X509_get0_pubkey(recipient.get());
    const int type = key == nullptr ? EVP_PKEY_NONE : EVP_PKEY_get_base_id(key);
    if (type == EVP_PKEY_RSA) {
        return addKeyTransport(cms, recipient.get(), who);
    }
    if (type == EVP_PKEY_EC) {
        return addKeyAgreement(cms, recipient.get(), key, who);
    }
    return failure(CmsError::badCertificate, who + ": its key is neither RSA nor EC");
}

class OpenSslCms final : public Cms {
public:
    Result<Bytes> envelope(ByteView content,
                           const std::vector<Bytes>& recipientCertificates) const override {
        if (recipientCertificates.empty()) {
            return failure(CmsError::noRecipient, "no recipient certificate to seal for");
        }
        const CmsHandle cms(CMS_AuthEnvelopedData_create(EVP_aes_256_gcm()));
        // A new AuthEnvelopedData leaves its ciphertext out until told to carry it.
        if (cms == nullptr || CMS_set_detached(cms.get(), 0) != 1) {
            return failure(CmsError::library, "AES-256-GCM enveloping is not available");
        }
        for (std::size_t i = 0; i < recipientCertificates.size(); ++i) {
            if (const auto fault = addRecipient(cms.get(), recipientCertificates[i], i)) {
                return *fault;
            }
        }
        return finish(cms.get(), content, "enveloping");
    }

    Result<Bytes> sign(ByteView content, const SigningIdentity& signer) const override {
        KeyHandle key;
        if (signer.tokenKey) {
            Result<KeyHandle> loaded = loadPrivateKey(*signer.tokenKey);
            if (!loaded) {
                return failure(CmsError::badPrivateKey, loaded.error().message);
            }
            key = std::move(*loaded);
        } else {
            key = readPrivateKey(signer.privateKey);
        }
        if (key == nullptr) {
            return failure(CmsError::badPrivateKey,
                           "the operator key is not an unencrypted PEM or DER private key");
        }
        std::vector<X509Handle> certificates = readCertificates(signer.certificate);
        const X509Handle certificate =
            certificates.empty() ? nullptr : std::move(certificates.front());
        if (certificate == nullptr) {
            return failure(CmsError::badCertificate,
                           "the operator certificate is not an X.509 certificate");
        }
        if (X509_check_private_key(certificate.get(), key.get()) != 1) {
            return failure(CmsError::badPrivateKey,
                           "the operator key does not belong to the operator certificate (" +
                               subjectLine(certificate.get()) + ")");
        }
        const CmsHandle cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_BINARY | CMS_PARTIAL));
        // CMS_CADES adds the signing-certificate-v2 attribute, which binds the signature to
        // this certificate and not merely to its key.
        if (cms == nullptr || CMS_add1_signer(cms.get(), certificate.get(), key.get(), EVP_sha256(),
                                              CMS_BINARY | CMS_CADES) == nullptr) {
            return failure(CmsError::library, "the operator key cannot sign with SHA-256");
        }
        for (std::size_t i = 1; i < certificates.size(); ++i) {
            if (CMS_add1_cert(cms.get(), certificates[i].get()) != 1) {
                return failure(CmsError::library,
                               "the operator's intermediate certificates cannot be added");
            }
        }
        return finish(cms.get(), content, "signing");
    }
};

}  // namespace

std::shared_ptr<penwell::Cms> makeCms() {
    return std::make_shared<OpenSslCms>();
}

}  // namespace penwell::openssl
