#include "penwell/pdf/SignedData.h"

#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "penwell/pdf/Timestamp.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::pdf {

using openssl::memoryBio;
using openssl::readCertificates;

namespace {

/// OpenSSL's latest reason, for a message; the queue is emptied so it never leaks into the
/// next message.
std::string lastOpenSslError() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown error";
    }
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

std::string subjectOf(X509* certificate) {
    char buffer[512] = {};
    X509_NAME_oneline(X509_get_subject_name(certificate), buffer, sizeof buffer);
    return buffer;
}

void appendDerLength(Bytes& out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
        return;
    }
    Bytes digits;
    for (; length > 0; length >>= 8) {
        digits.insert(digits.begin(), static_cast<std::uint8_t>(length & 0xff));
    }
    out.push_back(static_cast<std::uint8_t>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
}

/// The DER the signature covers: the signed attributes as a SET OF, its elements sorted by
/// their encodings as DER demands (and as OpenSSL writes them into the SignerInfo).
std::optional<Bytes> signedAttributesDer(CMS_SignerInfo* signer) {
    std::vector<Bytes> encoded;
    for (int i = 0; i < CMS_signed_get_attr_count(signer); ++i) {
        X509_ATTRIBUTE* attribute = CMS_signed_get_attr(signer, i);
        const int length = i2d_X509_ATTRIBUTE(attribute, nullptr);
        if (length <= 0) {
            return std::nullopt;
        }
        Bytes der(static_cast<std::size_t>(length));
        unsigned char* p = der.data();
        i2d_X509_ATTRIBUTE(attribute, &p);
        encoded.push_back(std::move(der));
    }
    // Octet by octet, a prefix first: DER's order for a SET OF.
    std::sort(encoded.begin(), encoded.end(), [](const Bytes& x, const Bytes& y) {
        const std::size_t common = std::min(x.size(), y.size());
        const int order = common == 0 ? 0 : std::memcmp(x.data(), y.data(), common);
        return order != 0 ? order < 0 : x.size() < y.size();
    });
    std::size_t total = 0;
    for (const Bytes& e : encoded) {
        total += e.size();
    }
    Bytes set{0x31};
    appendDerLength(set, total);
    for (const Bytes& e : encoded) {
        set.insert(set.end(), e.begin(), e.end());
    }
    return set;
}

}  // namespace

struct SigningIdentity::Impl {
    openssl::KeyHandle key;
    openssl::X509Handle certificate;
    openssl::CertificateStackHandle chain;
};

namespace {

Result<SigningIdentity> checkedIdentity(SigningIdentity::Impl impl, const std::string& name) {
    if (X509_check_private_key(impl.certificate.get(), impl.key.get()) != 1) {
        ERR_clear_error();
        return fail(PdfErrorKind::SigningKey, name,
                    "the private key does not belong to the signing certificate");
    }
    return SigningIdentity::make(std::make_shared<const SigningIdentity::Impl>(std::move(impl)));
}

}  // namespace

namespace {

/// `key` with the first of `certificates` and the rest as its chain, checked to belong.
Result<SigningIdentity> withCertificates(openssl::KeyHandle key, const std::string& keyName,
                                         ByteView certificates,
                                         const std::string& certificateName) {
    std::vector<openssl::X509Handle> all = readCertificates(certificates);
    if (all.empty()) {
        return fail(PdfErrorKind::SigningKey, certificateName, "not a certificate (PEM or DER)");
    }
    SigningIdentity::Impl impl;
    impl.key = std::move(key);
    impl.certificate = std::move(all.front());
    impl.chain.reset(sk_X509_new_null());
    for (std::size_t i = 1; i < all.size(); ++i) {
        sk_X509_push(impl.chain.get(), all[i].release());
    }
    return checkedIdentity(std::move(impl), keyName);
}

}  // namespace

Result<SigningIdentity> SigningIdentity::fromPem(ByteView privateKey, const std::string& keyName,
                                                 ByteView certificates,
                                                 const std::string& certificateName) {
    // Never OpenSSL's default password callback: on an encrypted key it would prompt on the
    // terminal, and a server would wait there.
    openssl::KeyHandle key = openssl::readPrivateKey(privateKey);
    if (!key) {
        return fail(PdfErrorKind::SigningKey, keyName,
                    "not an unencrypted private key (PEM or DER)");
    }
    return withCertificates(std::move(key), keyName, certificates, certificateName);
}

Result<SigningIdentity> SigningIdentity::fromOperator(const penwell::SigningIdentity& identity,
                                                      const std::string& keyName,
                                                      const std::string& certificateName) {
    if (!identity.tokenKey) {
        return fromPem(identity.privateKey, keyName, identity.certificate, certificateName);
    }
    Result<openssl::KeyHandle> key = openssl::loadPrivateKey(*identity.tokenKey);
    if (!key) {
        return fail(PdfErrorKind::SigningKey, key.error().message);
    }
    return withCertificates(std::move(*key), keyName, identity.certificate, certificateName);
}

namespace cms {

Sha256 sha256(const std::vector<ByteView>& parts) {
    openssl::DigestContextHandle context(EVP_MD_CTX_new());
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    for (ByteView part : parts) {
        EVP_DigestUpdate(context.get(), part.data(), part.size());
    }
    Sha256 digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest.data(), &length);
    return digest;
}

PrefixHash::PrefixHash() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1) {
        throw std::bad_alloc();
    }
}

PrefixHash::PrefixHash(const PrefixHash& other)
    : context_(EVP_MD_CTX_new()), length_(other.length_) {
    if (!context_ || EVP_MD_CTX_copy_ex(context_.get(), other.context_.get()) != 1) {
        throw std::bad_alloc();
    }
}

PrefixHash& PrefixHash::operator=(const PrefixHash& other) {
    if (this != &other) {
        PrefixHash copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void PrefixHash::extendTo(ByteView file, std::size_t end) {
    if (end > length_) {
        EVP_DigestUpdate(context_.get(), file.data() + length_, end - length_);
        length_ = end;
    }
}

Sha256 PrefixHash::digestWith(ByteView rest) const {
    PrefixHash finished(*this);
    EVP_DigestUpdate(finished.context_.get(), rest.data(), rest.size());
    Sha256 digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(finished.context_.get(), digest.data(), &length);
    return digest;
}

std::string md5(ByteView bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // ISO 32000 asks MD5 for a file's checksum; it detects damage, not forgery, which a
    // signature over the file does. A FIPS-only OpenSSL has none: that is a failure to say.
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        throw std::runtime_error("MD5 is not available for the file's checksum");
    }
    return std::string(reinterpret_cast<const char*>(digest), length);
}

Result<Bytes> signDetached(const SigningIdentity& identity, const Sha256& digest, bool placeholder,
                           const TimestampAuthority* tsa, ReadSigners* read) {
    const SigningIdentity::Impl& id = identity.impl();
    auto failed = [](const std::string& step) {
        return fail(PdfErrorKind::SigningKey, "cannot " + step + ": " + lastOpenSslError());
    };
    const unsigned flags = CMS_PARTIAL | CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP;
    openssl::CmsHandle cms(CMS_sign(nullptr, nullptr, id.chain.get(), nullptr, flags));
    if (!cms) {
        return failed("start the CMS signature");
    }
    // CMS_CADES adds signing-certificate-v2 (SHA-256 of the certificate with issuer and
    // serial). CMS_PARTIAL keeps OpenSSL from signing: its signing adds a signing-time
    // attribute, which PAdES forbids, so the attributes are finished and signed here.
    CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), id.certificate.get(), id.key.get(),
                                             EVP_sha256(), flags | CMS_CADES);
    if (signer == nullptr) {
        return failed("add the signer");
    }
    if (CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                    OBJ_nid2obj(NID_pkcs7_data), -1) != 1 ||
        CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                    digest.data(), static_cast<int>(digest.size())) != 1) {
        return failed("add the signed attributes");
    }
    const std::optional<Bytes> attributes = signedAttributesDer(signer);
    if (!attributes) {
        return failed("encode the signed attributes");
    }
    Bytes signature(static_cast<std::size_t>(EVP_PKEY_get_size(id.key.get())));
    if (!placeholder) {
        openssl::DigestContextHandle context(EVP_MD_CTX_new());
        std::size_t length = signature.size();
        if (!context ||
            EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, id.key.get()) != 1 ||
            EVP_DigestSign(context.get(), signature.data(), &length, attributes->data(),
                           attributes->size()) != 1) {
            return failed("sign");
        }
        signature.resize(length);
    }
    if (ASN1_STRING_set(CMS_SignerInfo_get0_signature(signer), signature.data(),
                        static_cast<int>(signature.size())) != 1) {
        return failed("store the signature");
    }
    if (tsa != nullptr) {
        // Added to the CMS made here, before it is encoded: reading it back would read its
        // certificates again, which costs OpenSSL 3.0 a key decoder each.
        ReadSigners fromToken;
        Result<Bytes> token = requestTimestampTokenFor(*tsa, sha256({signature}), fromToken);
        if (!token) {
            return token.error();
        }
        // V_ASN1_SEQUENCE: the bytes are the token's whole DER, put in as they are.
        if (CMS_unsigned_add1_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                          token->data(), static_cast<int>(token->size())) != 1) {
            openssl::clearErrors();
            return fail(PdfErrorKind::Timestamp, tsa->url, "cannot add the token to the signature");
        }
        if (read != nullptr) {
            *read = std::move(fromToken);
        }
    }
    if (read != nullptr) {
        // The signer first, its token's after, as a reader of the CMS finds them.
        read->signers.insert(read->signers.begin(),
                             openssl::sharedCertificate(id.certificate.get()));
        read->certificates.push_back(openssl::sharedCertificate(id.certificate.get()));
        for (int i = 0; i < sk_X509_num(id.chain.get()); ++i) {
            read->certificates.push_back(
                openssl::sharedCertificate(sk_X509_value(id.chain.get(), i)));
        }
    }
    const int length = i2d_CMS_ContentInfo(cms.get(), nullptr);
    if (length <= 0) {
        return failed("encode the CMS signature");
    }
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* p = der.data();
    i2d_CMS_ContentInfo(cms.get(), &p);
    return der;
}

CmsCheck verifyDetached(ByteView cmsBytes, const std::vector<ByteView>& parts,
                        const std::vector<Bytes>& trust) {
    CmsCheck check;
    const unsigned char* p = cmsBytes.data();
    openssl::CmsHandle cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(cmsBytes.size())));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed) {
        ERR_clear_error();
        check.problem = "/Contents is not a CMS SignedData";
        return check;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    if (sk_CMS_SignerInfo_num(signers) != 1) {
        check.problem =
            "the CMS holds " + std::to_string(sk_CMS_SignerInfo_num(signers)) + " signers, not one";
        return check;
    }
    openssl::CertificateStackHandle certificates(CMS_get1_certs(cms.get()));
    if (X509* c =
            openssl::signerCertificate(sk_CMS_SignerInfo_value(signers, 0), certificates.get())) {
        check.signer = subjectOf(c);
    }
    if (check.signer.empty()) {
        check.problem = "the CMS does not include the signing certificate";
        return check;
    }
    Bytes data;
    for (ByteView part : parts) {
        data.insert(data.end(), part.begin(), part.end());
    }
    // First the digest and the signature alone, then (with an anchor) the signer's chain, so
    // the report tells a tampered file from an unknown signer.
    openssl::BioHandle content = memoryBio(data);
    if (CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                   CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) != 1) {
        check.problem = "digest or signature does not match: " + lastOpenSslError();
        return check;
    }
    check.valid = true;
    if (!trust.empty()) {
        openssl::X509StoreHandle store(X509_STORE_new());
        for (const Bytes& file : trust) {
            for (openssl::X509Handle& c : readCertificates(file)) {
                X509_STORE_add_cert(store.get(), c.get());
            }
        }
        // Document-signing certificates need not carry the e-mail protection usage.
        X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);
        openssl::BioHandle again = memoryBio(data);
        check.trusted =
            CMS_verify(cms.get(), nullptr, store.get(), again.get(), nullptr, CMS_BINARY) == 1;
        if (!*check.trusted) {
            check.problem = "the signer is not trusted: " + lastOpenSslError();
        }
    }
    return check;
}

}  // namespace cms
}  // namespace penwell::pdf
