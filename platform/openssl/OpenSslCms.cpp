#include "platform/openssl/OpenSslCms.h"

#include <openssl/rsa.h>

#include <string>

#include "platform/openssl/OpenSslKeys.h"

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

class OpenSslCms final : public Cms {
public:
    Result<Bytes> envelope(ByteView content, ByteView recipientCertificateDer) const override {
        const X509Handle recipient = readCertificate(recipientCertificateDer);
        if (recipient == nullptr) {
            return failure(CmsError::badCertificate,
                           "the recipient certificate is not an X.509 certificate");
        }
        EVP_PKEY* key = X509_get0_pubkey(recipient.get());
        if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
            return failure(CmsError::badCertificate, "the recipient certificate's key is not RSA");
        }
        const CmsHandle cms(CMS_AuthEnvelopedData_create(EVP_aes_256_gcm()));
        // A new AuthEnvelopedData leaves its ciphertext out until told to carry it.
        if (cms == nullptr || CMS_set_detached(cms.get(), 0) != 1) {
            return failure(CmsError::library, "AES-256-GCM enveloping is not available");
        }
        // CMS_KEY_PARAM leaves the key-transport context open for the OAEP parameters.
        CMS_RecipientInfo* info =
            CMS_add1_recipient_cert(cms.get(), recipient.get(), CMS_KEY_PARAM);
        EVP_PKEY_CTX* context = info ? CMS_RecipientInfo_get0_pkey_ctx(info) : nullptr;
        if (context == nullptr ||
            EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_OAEP_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_rsa_oaep_md(context, EVP_sha256()) <= 0 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(context, EVP_sha256()) <= 0) {
            return failure(CmsError::library, "RSAES-OAEP with SHA-256 cannot be set up");
        }
        return finish(cms.get(), content, "enveloping");
    }

    Result<Bytes> sign(ByteView content, const SigningIdentity& signer) const override {
        const KeyHandle key = readPrivateKey(signer.privateKey);
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
