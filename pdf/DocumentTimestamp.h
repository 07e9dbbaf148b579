#pragma once
// PAdES B-LTA: a document time-stamp (/Type /DocTimeStamp, /SubFilter /ETSI.RFC3161), an
// RFC 3161 token over the whole file as it stands, validation data included, in an invisible
// signature field of an appended update. It proves the file, with its /DSS, existed before
// the certificates in it expired or were revoked; a later one renews that proof.

#include <string>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Timestamp.h"

namespace penwell::pdf {

/// `in` followed by an update with a document time-stamp from `tsa` in a new invisible field
/// on the first page. `in` stays a byte prefix of the result; on failure nothing is written
/// and the message names `inName` or the TSA's URL.
Result<Bytes> addDocumentTimestamp(ByteView in, const std::string& inName,
                                   const TimestampAuthority& tsa);

/// A token whose imprint is `digest` (SHA-256), asked for and checked as
/// requestTimestampToken() does.
Result<Bytes> requestTimestampTokenFor(const TimestampAuthority& tsa, const Sha256& digest);

}  // namespace penwell::pdf
