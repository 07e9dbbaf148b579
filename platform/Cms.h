#pragma once
// Cryptographic Message Syntax (RFC 5652) as the evidence export needs it: enveloping bytes
// for one or more recipients and signing the result. The component sees only this interface;
// the default backend is platform/openssl/OpenSslCms.h.

#include <optional>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Keys.h"
#include "penwell/platform/Result.h"

namespace penwell {

/// Domain of every failure a Cms backend reports. Codes are CmsError values.
inline constexpr const char* kCmsErrorDomain = "PenwellCms";

enum class CmsError : int {
    badCertificate = 1,  ///< a certificate does not parse or has no usable key
    badPrivateKey = 2,   ///< the private key does not parse or does not match the certificate
    library = 3,         ///< the library failed while enveloping or signing
    noRecipient = 4,     ///< no recipient certificate was given
};

/// Who signs: a private key (PKCS#8 or traditional, PEM or DER, unencrypted) and its X.509
/// certificate (PEM or DER), followed in PEM by any intermediate certificates, which travel in
/// the signature so that a receiver who trusts only the root can check it. Messages never
/// quote the key.
struct SigningIdentity {
    Bytes privateKey;  ///< empty when tokenKey names the key
    Bytes certificate;
    /// A key kept on a PKCS#11 token: it never leaves the token, and each signature is made
    /// there (the backend loads it with the PIN tokenKey says where to find).
    std::optional<KeyLocation> tokenKey;
};

class Cms {
public:
    virtual ~Cms() = default;

    /// A DER ContentInfo holding AuthEnvelopedData (RFC 5083): `content` (type id-data)
    /// encrypted with AES-256-GCM (RFC 5084) under a fresh key, which is carried once for each
    /// recipient certificate (PEM or DER), in the order given, so that each recipient opens it
    /// alone: an RSA key in a KeyTransRecipientInfo with RSAES-OAEP,
    /// SHA-256 and MGF1-SHA-256; an EC key on P-256 or P-384 in a KeyAgreeRecipientInfo
    /// (ephemeral-static ECDH, RFC 5753, the X9.63 KDF with SHA-256 or SHA-384 by curve,
    /// AES-256 key wrap). Fails naming the recipient by its position and subject when its
    /// certificate does not parse, has another kind or size of key, or a key usage that
    /// forbids it. Nothing is kept between calls.
    virtual Result<Bytes> envelope(ByteView content,
                                   const std::vector<Bytes>& recipientCertificates) const = 0;

    /// A DER ContentInfo holding SignedData over `content` (type id-data, encapsulated): one
    /// signer with SHA-256, signed attributes including signing-certificate-v2 (RFC 5035), and
    /// the signer's certificate included.
    virtual Result<Bytes> sign(ByteView content, const SigningIdentity& signer) const = 0;
};

}  // namespace penwell
