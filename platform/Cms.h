#pragma once
// Cryptographic Message Syntax (RFC 5652) as the evidence export needs it: enveloping bytes
// for one RSA recipient and signing the result. The component sees only this interface; the
// default backend is platform/openssl/OpenSslCms.h.

#include "platform/Bytes.h"
#include "platform/Result.h"

namespace penwell {

/// Domain of every failure a Cms backend reports. Codes are CmsError values.
inline constexpr const char* kCmsErrorDomain = "PenwellCms";

enum class CmsError : int {
    badCertificate = 1,  ///< a certificate does not parse or has no usable key
    badPrivateKey = 2,   ///< the private key does not parse or does not match the certificate
    library = 3,         ///< the library failed while enveloping or signing
};

/// Who signs: a private key (PKCS#8 or traditional, PEM or DER, unencrypted) and its X.509
/// certificate (PEM or DER), followed in PEM by any intermediate certificates, which travel in
/// the signature so that a receiver who trusts only the root can check it. Messages never
/// quote the key.
struct SigningIdentity {
    Bytes privateKey;
    Bytes certificate;
};

class Cms {
public:
    virtual ~Cms() = default;

    /// A DER ContentInfo holding AuthEnvelopedData (RFC 5083): `content` (type id-data)
    /// encrypted with AES-256-GCM (RFC 5084) under a fresh key, which is carried in one
    /// KeyTransRecipientInfo for `recipientCertificateDer`'s RSA key with RSAES-OAEP, SHA-256
    /// and MGF1-SHA-256. Nothing is kept between calls.
    virtual Result<Bytes> envelope(ByteView content, ByteView recipientCertificateDer) const = 0;

    /// A DER ContentInfo holding SignedData over `content` (type id-data, encapsulated): one
    /// signer with SHA-256, signed attributes including signing-certificate-v2 (RFC 5035), and
    /// the signer's certificate included.
    virtual Result<Bytes> sign(ByteView content, const SigningIdentity& signer) const = 0;
};

}  // namespace penwell
