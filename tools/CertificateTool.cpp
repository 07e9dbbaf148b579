#include "penwell/tools/CertificateTool.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <utility>

#include <ctime>

#include "penwell/platform/openssl/OpenSslHandles.h"
#include "penwell/receiver/Limits.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

namespace {

[[noreturn]] void fail(const std::string& what) {
    // Take OpenSSL's own reason along, then leave its error queue empty for the next call.
    const unsigned long code = ERR_peek_last_error();
    std::string message = what;
    if (code != 0) {
        const char* reason = ERR_reason_error_string(code);
        message += std::string(": ") + (reason != nullptr ? reason : "OpenSSL error");
    }
    ERR_clear_error();
    throw ToolError(message);
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

std::string oneLine(const X509_NAME* name) {
    openssl::BioHandle bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) {
        fail("cannot print a certificate name");
    }
    return bioText(bio.get());
}

std::string commonNameOf(const X509_NAME* name) {
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) {
        return {};
    }
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0) {
        ERR_clear_error();
        return {};
    }
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string timeText(const ASN1_TIME* time) {
    std::tm tm{};
    if (ASN1_TIME_to_tm(time, &tm) != 1) {
        ERR_clear_error();
        return "(unreadable)";
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

}  // namespace

std::string hex(ByteView bytes) {
    return hexDigits(bytes);
}

NewCertificate makeSelfSignedCertificate(int bits, int days, std::string_view commonName,
                                         CertificateUse use) {
    openssl::KeyHandle key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
    if (!key) {
        fail("cannot generate an RSA-" + std::to_string(bits) + " key");
    }
    openssl::X509Handle certificate(X509_new());
    if (!certificate) {
        fail("cannot allocate a certificate");
    }
    // A random positive 63-bit serial: self-signed certificates made on different machines
    // must not share one, and nothing else would tell them apart.
    std::uint8_t serialBytes[8];
    if (RAND_bytes(serialBytes, sizeof serialBytes) != 1) {
        fail("cannot draw a serial number");
    }
    serialBytes[0] &= 0x7f;
    openssl::BigNumHandle serialNumber(BN_bin2bn(serialBytes, sizeof serialBytes, nullptr));
    openssl::IntegerHandle serial(serialNumber ? BN_to_ASN1_INTEGER(serialNumber.get(), nullptr)
                                               : nullptr);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    if (!serial || X509_set_version(certificate.get(), X509_VERSION_3) != 1 ||
        X509_set_serialNumber(certificate.get(), serial.get()) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) == nullptr ||
        X509_time_adj_ex(X509_getm_notAfter(certificate.get()), days, 0, nullptr) == nullptr ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.data()),
                                   static_cast<int>(commonName.size()), -1, 0) != 1 ||
        X509_set_issuer_name(certificate.get(), name) != 1 ||
        X509_set_pubkey(certificate.get(), key.get()) != 1) {
        fail("cannot fill in the certificate");
    }
    if (use == CertificateUse::signing) {
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
        for (const auto& [nid, value] :
             {std::pair{NID_basic_constraints, "critical,CA:FALSE"},
              std::pair{NID_key_usage, "critical,digitalSignature,nonRepudiation"},
              std::pair{NID_subject_key_identifier, "hash"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            const bool added =
                extension != nullptr && X509_add_ext(certificate.get(), extension, -1) == 1;
            X509_EXTENSION_free(extension);
            if (!added) {
                fail("cannot add the signing extensions");
            }
        }
    }
    if (X509_sign(certificate.get(), key.get(), EVP_sha256()) <= 0) {
        fail("cannot sign the certificate");
    }

    NewCertificate made;
    const int derLength = i2d_X509(certificate.get(), nullptr);
    if (derLength <= 0) {
        fail("cannot encode the certificate");
    }
    made.der.resize(static_cast<std::size_t>(derLength));
    unsigned char* cursor = made.der.data();
    if (i2d_X509(certificate.get(), &cursor) != derLength) {
        fail("cannot encode the certificate");
    }
    openssl::BioHandle pem(BIO_new(BIO_s_mem()));
    if (!pem || PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        fail("cannot encode the private key");
    }
    made.privateKeyPem = bioText(pem.get());
    return made;
}

std::string certificatePem(ByteView der) {
    const unsigned char* p = der.data();
    openssl::X509Handle certificate(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    openssl::BioHandle pem(BIO_new(BIO_s_mem()));
    if (!certificate || !pem || PEM_write_bio_X509(pem.get(), certificate.get()) != 1) {
        fail("cannot encode the certificate as PEM");
    }
    return bioText(pem.get());
}

CertificateInfo describeCertificate(ByteView bytes, const std::string& name) {
    // BIO_new_mem_buf takes an int length; the bound keeps it far from overflowing.
    if (bytes.size() > receiver::kMaxKeyBytes) {
        throw ToolError(name + ": too large for a certificate (at most 1 MiB)");
    }
    const unsigned char* cursor = bytes.data();
    openssl::X509Handle certificate(d2i_X509(nullptr, &cursor, static_cast<long>(bytes.size())));
    if (certificate && cursor != bytes.data() + bytes.size()) {
        ERR_clear_error();
        throw ToolError(name + ": " + std::to_string(bytes.data() + bytes.size() - cursor) +
                        " bytes follow the DER certificate");
    }
    if (!certificate) {
        openssl::BioHandle bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
        if (bio) {
            certificate.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        }
    }
    ERR_clear_error();
    if (!certificate) {
        throw ToolError(name + ": not an X.509 certificate (neither DER nor PEM)");
    }

    CertificateInfo info;
    const X509_NAME* subject = X509_get_subject_name(certificate.get());
    const X509_NAME* issuer = X509_get_issuer_name(certificate.get());
    info.subject = oneLine(subject);
    info.commonName = commonNameOf(subject);
    info.issuer = oneLine(issuer);
    info.selfIssued = X509_NAME_cmp(subject, issuer) == 0;

    const int derLength = i2d_X509(certificate.get(), nullptr);
    if (derLength <= 0) {
        fail(name + ": cannot encode the certificate");
    }
    info.der.resize(static_cast<std::size_t>(derLength));
    unsigned char* out = info.der.data();
    i2d_X509(certificate.get(), &out);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (X509_digest(certificate.get(), EVP_sha1(), digest, &digestLength) != 1) {
        fail(name + ": cannot compute the SHA-1 fingerprint");
    }
    info.sha1 = hex({digest, digestLength});

    if (const EVP_PKEY* key = X509_get0_pubkey(certificate.get())) {
        info.keyType =
            EVP_PKEY_get0_type_name(key) != nullptr ? EVP_PKEY_get0_type_name(key) : "unknown";
        info.keyBits = EVP_PKEY_get_bits(key);
    } else {
        info.keyType = "unreadable";
    }
    ERR_clear_error();
    info.notBefore = timeText(X509_get0_notBefore(certificate.get()));
    info.notAfter = timeText(X509_get0_notAfter(certificate.get()));
    return info;
}

}  // namespace penwell::tools
