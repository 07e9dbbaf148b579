#pragma once
// The one RAII owner of each OpenSSL handle type Penwell holds, named once so that every
// backend, the PDF library and the tools free the same handle the same way. Private to builds
// that link OpenSSL: it includes OpenSSL's headers, so it is not installed.

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/ocsp.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "penwell/platform/CHandle.h"

namespace penwell::openssl {

namespace detail {
void freeBio(BIO* bio) noexcept;
void freeCertificates(STACK_OF(X509) * stack) noexcept;
}  // namespace detail

using BioHandle = CHandle<BIO, detail::freeBio>;
using KeyHandle = CHandle<EVP_PKEY, EVP_PKEY_free>;
using KeyContextHandle = CHandle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using DigestContextHandle = CHandle<EVP_MD_CTX, EVP_MD_CTX_free>;
using X509Handle = CHandle<X509, X509_free>;
using X509StoreHandle = CHandle<X509_STORE, X509_STORE_free>;
using StoreContextHandle = CHandle<X509_STORE_CTX, X509_STORE_CTX_free>;
/// A stack of certificates that owns them (freed with it).
using CertificateStackHandle = CHandle<STACK_OF(X509), detail::freeCertificates>;
using CmsHandle = CHandle<CMS_ContentInfo, CMS_ContentInfo_free>;
using BigNumHandle = CHandle<BIGNUM, BN_free>;
using IntegerHandle = CHandle<ASN1_INTEGER, ASN1_INTEGER_free>;
using CrlHandle = CHandle<X509_CRL, X509_CRL_free>;
using OcspRequestHandle = CHandle<OCSP_REQUEST, OCSP_REQUEST_free>;
using OcspResponseHandle = CHandle<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using OcspBasicHandle = CHandle<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using OcspCertIdHandle = CHandle<OCSP_CERTID, OCSP_CERTID_free>;
using TimestampQueryHandle = CHandle<TS_REQ, TS_REQ_free>;
using TimestampAnswerHandle = CHandle<TS_RESP, TS_RESP_free>;

/// One more owner of `c`, whose references OpenSSL counts: X509_dup() would encode and read it
/// anew, which costs OpenSSL 3.0 a key decoder.
inline X509Handle sharedCertificate(X509* c) {
    X509_up_ref(c);
    return X509Handle(c);
}

}  // namespace penwell::openssl
