#pragma once
// Long-term validation data (PAdES B-LT): the certificates, OCSP answers and CRLs a validator
// needs to judge a document's signatures and time-stamp tokens years later, without reaching
// any server, kept in the document's /DSS by an appended incremental update.

#include <memory>
#include <string>
#include <vector>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Http.h"

namespace penwell::pdf {

/// Where the validation data comes from.
struct ValidationSources {
    /// Files of certificates (PEM, any number each, or one DER) where chains end: required.
    std::vector<Bytes> trust;
    /// OCSP answers (DER) and CRLs (DER or PEM) at hand, used before anything is fetched, for
    /// sites that sign without a network.
    std::vector<Bytes> ocsp, crls;
    /// Fetches what the files do not cover, from each certificate's AIA OCSP responder, else
    /// from its CRL distribution point; nil: nothing is fetched.
    std::shared_ptr<HttpClient> http;
};

/// `in` followed by an update whose catalog has a /DSS covering every signature and
/// time-stamp token of `in`: each signer's chain up to an anchor of `sources.trust`, and for
/// every certificate of it but the anchor an OCSP answer or a CRL saying it is not revoked
/// (and the certificates of the OCSP responders). A /DSS already there is kept and added to.
/// Refuses, naming the certificate, one that does not chain, is revoked, or has no
/// revocation data; nothing is written then. `in` stays a byte prefix of the result.
Result<Bytes> addValidationData(ByteView in, const std::string& inName,
                                const ValidationSources& sources);

/// B-LTA: addValidationData() and then a document time-stamp from `tsa` over the result
/// (addDocumentTimestamp()), the file read and copied once for both. Fails as either does;
/// nothing is written then.
Result<Bytes> addValidationDataAndTimestamp(ByteView in, const std::string& inName,
                                            const ValidationSources& sources,
                                            const TimestampAuthority& tsa);

}  // namespace penwell::pdf
