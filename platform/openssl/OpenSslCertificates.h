#pragma once
// Certificate services on OpenSSL 3: X.509 parsing, trust under the basic X.509 policy, RSA
// public keys with PKCS#1 v1.5 encryption.

#include <memory>

#include "penwell/platform/Certificates.h"

namespace penwell::openssl {

/// The OpenSSL-backed CertificateServices. Stateless; the object and everything it makes may
/// be used from several threads at once.
std::shared_ptr<penwell::CertificateServices> makeCertificateServices();

}  // namespace penwell::openssl
