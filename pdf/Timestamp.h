#pragma once
// RFC 3161 time-stamp tokens: asking a time-stamp authority for one over some bytes and
// checking its answer, and checking one a document holds. Added to a CMS signature as its
// signature-time-stamp-token (SignedData.h), a token proves the signature existed at the
// token's time (PAdES B-T).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Http.h"

namespace penwell::pdf {

/// A time-stamp authority: where it answers, and the client that reaches it.
struct TimestampAuthority {
    std::string url;
    std::shared_ptr<HttpClient> http;
};

/// A token over `data` (its SHA-256 is the imprint) from `tsa`, asked with a fresh nonce and
/// the TSA's certificate requested, and checked: HTTP 200, status granted, the imprint and
/// the nonce those sent, a signer certificate for time-stamping alone (extended key usage
/// timeStamping, critical) included in the token, and the token's signature by it. The
/// answer answers DER of the token (a CMS ContentInfo). A failure's message starts with the
/// TSA's URL and says which check failed.
Result<Bytes> requestTimestampToken(const TimestampAuthority& tsa, ByteView data);

/// What a time-stamp token found in a document proves.
struct TokenCheck {
    bool valid = false;   ///< signature good, signer for time-stamping, imprint as expected
    std::string problem;  ///< why not, one line
    std::string time;     ///< the time it proves, "YYYY-MM-DD HH:MM:SSZ"
    std::string tsa;      ///< its signer's subject
    std::optional<bool> trusted;  ///< nil without anchors
};

/// Checks `token` (DER of a time-stamp token) as a validator does: its signature, its signer's
/// timeStamping usage, its imprint equal to `imprint` (SHA-256), and with `trust` (files of
/// certificates) that its signer chains to one of them.
TokenCheck checkTimestampToken(ByteView token, ByteView imprint, const std::vector<Bytes>& trust);

/// The signature-time-stamp token of a CMS SignedData's only signer and the signature value
/// it must cover; nil when there is none.
struct SignatureTimestamp {
    Bytes token, signatureValue;
};
std::optional<SignatureTimestamp> signatureTimestampOf(ByteView cms);

}  // namespace penwell::pdf
