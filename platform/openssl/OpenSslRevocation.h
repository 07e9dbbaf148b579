#pragma once
// RAII owners of the OpenSSL handles that building chains and judging revocation use: store
// contexts, CRLs, and OCSP requests, answers and certificate ids.

#include <openssl/ocsp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "penwell/platform/CHandle.h"

namespace penwell::openssl {

using StoreContextHandle = CHandle<X509_STORE_CTX, X509_STORE_CTX_free>;
using CrlHandle = CHandle<X509_CRL, X509_CRL_free>;
using OcspRequestHandle = CHandle<OCSP_REQUEST, OCSP_REQUEST_free>;
using OcspResponseHandle = CHandle<OCSP_RESPONSE, OCSP_RESPONSE_free>;
using OcspBasicHandle = CHandle<OCSP_BASICRESP, OCSP_BASICRESP_free>;
using OcspCertIdHandle = CHandle<OCSP_CERTID, OCSP_CERTID_free>;

}  // namespace penwell::openssl
