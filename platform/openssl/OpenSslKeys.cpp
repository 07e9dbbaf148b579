#include "platform/openssl/OpenSslKeys.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <climits>

namespace penwell::openssl {

namespace detail {
void freeBio(BIO* bio) noexcept {
    BIO_free_all(bio);
}
}  // namespace detail

namespace {

// A key file that turns out encrypted is refused, not prompted for on the terminal.
int noPassword(char*, int, int, void*) {
    return -1;
}

bool looksLikePem(ByteView bytes) {
    static constexpr std::string_view kBegin = "-----BEGIN ";
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return text.find(kBegin) != std::string_view::npos;
}

}  // namespace

BioHandle memoryBio(ByteView bytes) {
    if (bytes.size() > INT_MAX) {
        return nullptr;
    }
    return BioHandle(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

Bytes bioBytes(BIO* bio) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? Bytes(data, data + length) : Bytes{};
}

KeyHandle readPrivateKey(ByteView pemOrDer) {
    const BioHandle bio = memoryBio(pemOrDer);
    if (bio == nullptr) {
        return nullptr;
    }
    KeyHandle key(looksLikePem(pemOrDer)
                      ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr)
                      : d2i_PrivateKey_bio(bio.get(), nullptr));
    clearErrors();
    return key;
}

X509Handle readCertificate(ByteView pemOrDer) {
    if (looksLikePem(pemOrDer)) {
        const BioHandle bio = memoryBio(pemOrDer);
        X509Handle certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, noPassword, nullptr)
                                   : nullptr);
        clearErrors();
        return certificate;
    }
    if (pemOrDer.size() > LONG_MAX) {
        return nullptr;
    }
    const unsigned char* p = pemOrDer.data();
    X509Handle certificate(d2i_X509(nullptr, &p, static_cast<long>(pemOrDer.size())));
    clearErrors();
    if (certificate != nullptr && p != pemOrDer.data() + pemOrDer.size()) {
        return nullptr;  // trailing bytes: not one certificate
    }
    return certificate;
}

std::vector<X509Handle> readCertificates(ByteView pemOrDer) {
    std::vector<X509Handle> certificates;
    if (!looksLikePem(pemOrDer)) {
        if (X509Handle one = readCertificate(pemOrDer)) {
            certificates.push_back(std::move(one));
        }
        return certificates;
    }
    const BioHandle bio = memoryBio(pemOrDer);
    while (bio) {
        X509Handle next(PEM_read_bio_X509(bio.get(), nullptr, noPassword, nullptr));
        if (next == nullptr) {
            break;
        }
        certificates.push_back(std::move(next));
    }
    clearErrors();
    return certificates;
}

Bytes pemOf(X509* certificate) {
    const BioHandle bio(BIO_new(BIO_s_mem()));
    if (bio == nullptr || PEM_write_bio_X509(bio.get(), certificate) != 1) {
        clearErrors();
        return {};
    }
    return bioBytes(bio.get());
}

Bytes derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0) {
        return {};
    }
    Bytes out(der, der + length);
    OPENSSL_free(der);
    return out;
}

std::string subjectLine(X509* certificate) {
    const BioHandle bio(BIO_new(BIO_s_mem()));
    if (bio == nullptr || X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0,
                                             XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        return "(unprintable subject)";
    }
    const Bytes text = bioBytes(bio.get());
    return std::string(text.begin(), text.end());
}

void clearErrors() noexcept {
    ERR_clear_error();
}

}  // namespace penwell::openssl
