#pragma once
// Long-term validation data (PAdES B-LT): the certificates, OCSP answers and CRLs a validator
// needs to judge a document's signatures and time-stamp tokens years later, without reaching
// any server, kept in the document's /DSS by an appended incremental update.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Seal.h"
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

/// The level a signature is raised to as it is made: B-LT, or B-LTA with `archive`.
struct LongTermLevel {
    ValidationSources sources;
    /// The authority of the document time-stamp over the /DSS; nil: B-LT.
    std::optional<TimestampAuthority> archive;
};

/// signPdf() raised to `level` in the same pass: the signature, then the /DSS for it and
/// every earlier signature (addValidationData()), then for B-LTA a document time-stamp,
/// appended to one copy of `in`, read once. The signature is B-T when the request asks its
/// TSA, as a B-LT or B-LTA one should be. Fails as either step does; nothing is written then.
Result<Bytes> signPdf(ByteView in, const std::string& inName, const SignRequest& request,
                      const SigningIdentity& identity, const LongTermLevel& level);

/// sealPdf() raised to `level` in the same pass, as signPdf() above.
Result<Bytes> sealPdf(ByteView in, const std::string& inName, const SealRequest& request,
                      const SigningIdentity& identity, const LongTermLevel& level);

}  // namespace penwell::pdf
