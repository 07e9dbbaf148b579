#pragma once
// The CMS side of a PAdES signature, on OpenSSL: the signer's identity, the detached
// SignedData that /Contents holds, and its check. Private to the PDF library.

#include <optional>
#include <string>
#include <vector>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/platform/openssl/OpenSslHandles.h"

namespace penwell::pdf::cms {

/// The certificates of a signature just made, as they were read while it was made: the long-term
/// data gathered for it in the same pass then need not read its DER again, which costs
/// OpenSSL 3.0 a key decoder for each certificate.
struct ReadSigners {
    std::vector<openssl::X509Handle> signers;       ///< its signer's, its token's signer's
    std::vector<openssl::X509Handle> certificates;  ///< every one it and its token carry
};

/// SHA-256 of the concatenated parts.
Sha256 sha256(const std::vector<ByteView>& parts);

/// SHA-256 of a file's first bytes, kept so that every byte range that begins at 0 is hashed
/// on from where the last stopped: a B-LTA file's signature and its document time-stamp both
/// cover the whole document, which is then hashed once.
class PrefixHash {
public:
    PrefixHash();
    PrefixHash(const PrefixHash& other);
    PrefixHash& operator=(const PrefixHash& other);
    PrefixHash(PrefixHash&&) noexcept = default;
    PrefixHash& operator=(PrefixHash&&) noexcept = default;
    ~PrefixHash() = default;

    /// Hashes `file` on up to `end`; its bytes before the length hashed so far must be the
    /// ones hashed.
    void extendTo(ByteView file, std::size_t end);
    /// The digest of the bytes hashed so far followed by `rest`; those stay hashed.
    Sha256 digestWith(ByteView rest) const;

private:
    openssl::DigestContextHandle context_;
    std::size_t length_ = 0;
};

/// MD5 of `bytes`, as an embedded file's /Params /CheckSum holds it (16 bytes).
std::string md5(ByteView bytes);

/// A detached CMS SignedData (PAdES B-B, CAdES attributes): SHA-256, the signer's certificate
/// and chain included, signed attributes content-type, message-digest (= `digest`) and
/// signing-certificate-v2, and no signing-time. With `placeholder` the signature value is
/// zeros of the key's largest signature size and nothing is signed: its length is an upper
/// bound of the real one's, for reserving /Contents. With `tsa`, a token from it over the
/// signature value is added as the signer's unsigned attribute id-aa-signatureTimeStampToken
/// (B-T), checked as requestTimestampToken() checks it. `read`, when given, is filled.
Result<Bytes> signDetached(const SigningIdentity& identity, const Sha256& digest, bool placeholder,
                           const TimestampAuthority* tsa = nullptr, ReadSigners* read = nullptr);

struct CmsCheck {
    bool valid = false;   ///< digest and signature over the signed attributes good
    std::string problem;  ///< why not
    std::string signer;   ///< the signing certificate's subject, one line
    std::optional<bool> trusted;
};

/// Checks a detached SignedData (trailing zero padding allowed) over `parts`; with `trust`
/// (files of certificates, each PEM or DER) also that the signer chains to one of them.
CmsCheck verifyDetached(ByteView cms, const std::vector<ByteView>& parts,
                        const std::vector<Bytes>& trust);

}  // namespace penwell::pdf::cms

namespace penwell::pdf {

/// requestTimestampTokenFor(), the token's signer and certificates added to `read`.
Result<Bytes> requestTimestampTokenFor(const TimestampAuthority& tsa, const Sha256& digest,
                                       cms::ReadSigners& read);

}  // namespace penwell::pdf
