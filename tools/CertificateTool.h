#pragma once
// Making and inspecting the receiver's certificate: a self-signed X.509 certificate whose
// common name is the one the component pins ("Keyloft"), shipped as DER in Penwell.dat, with
// a private key that stays with the receiver.

#include <cstdint>
#include <string>
#include <string_view>

#include "penwell/platform/Bytes.h"

namespace penwell::tools {

/// The subject common name the component accepts.
inline constexpr std::string_view kPinnedCommonName = "Keyloft";

struct NewCertificate {
    Bytes der;                  ///< the certificate, DER
    std::string privateKeyPem;  ///< its private key, unencrypted PKCS#8 PEM

    NewCertificate() = default;
    NewCertificate(NewCertificate&&) = default;
    NewCertificate& operator=(NewCertificate&&) = default;
    NewCertificate(const NewCertificate&) = delete;
    NewCertificate& operator=(const NewCertificate&) = delete;
    ~NewCertificate() { secureWipe(privateKeyPem); }
};

/// What a new certificate is for.
enum class CertificateUse {
    receiver,  ///< the pinned receiver's: no extensions, as Penwell.dat always was
    signing,   ///< an operator's: key usage digitalSignature and nonRepudiation, not a CA
};

/// A fresh RSA key of `bits` bits and a self-signed SHA-256 certificate for it, subject and
/// issuer CN=`commonName`, valid from now for `days` days. Throws ToolError on failure.
NewCertificate makeSelfSignedCertificate(int bits, int days,
                                         std::string_view commonName = kPinnedCommonName,
                                         CertificateUse use = CertificateUse::receiver);

struct CertificateInfo {
    std::string subject;     ///< one line, e.g. "CN=Keyloft"
    std::string commonName;  ///< empty when the subject has none
    std::string issuer;
    bool selfIssued = false;  ///< issuer equals subject
    std::string sha1;         ///< 40 lowercase hex digits of SHA-1 over the DER encoding
    std::string keyType;      ///< "RSA", "EC", ...
    int keyBits = 0;
    std::string notBefore;  ///< "YYYY-MM-DD HH:MM:SS UTC"
    std::string notAfter;
    Bytes der;
};

/// Parses one certificate, DER or PEM. Throws ToolError "<name>: ..." when it is neither, or
/// larger than kMaxKeyBytes.
CertificateInfo describeCertificate(ByteView bytes, const std::string& name);

/// A DER certificate as PEM text. Throws ToolError when it does not parse.
std::string certificatePem(ByteView der);

/// Lowercase hexadecimal digits of `bytes`.
std::string hex(ByteView bytes);

}  // namespace penwell::tools
