#pragma once
// The last step of a completed signing request: the document as every signer signed it, with
// the request's audit trail attached as penwell-audit.json and sealed by an invisible operator
// signature in the same update, so the one file an institution keeps carries the document,
// every signature, every signer's evidence and the trail. Built with the PDF library and the
// signing service (library penwell_host_seal); not installed.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Http.h"
#include "penwell/platform/Result.h"
#include "penwell/service/Model.h"

namespace penwell::host {

/// What makes a seal last (PAdES B-LTA): its signature time-stamped by `tsaUrl`, then the
/// validation data of every signature in the file up to `trust` (fetched through `http`),
/// then a document time-stamp over it all.
struct LongTermSeal {
    std::string tsaUrl;
    std::shared_ptr<HttpClient> http;
    std::vector<Bytes> trust;  ///< certificates where the chains end (PEM or DER files' bytes)
};

/// `signedPdf` (named `name` in messages) followed by the update that attaches the trail of
/// `events` of request `requestId` and seals it with `operatorIdentity`, read once by the
/// caller (pdf::SigningIdentity::fromOperator) for every seal it makes: reading the key costs
/// a third of sealing a small document. `time` is the seal's /M; now when nil. With `longTerm`
/// the result is B-LTA (three updates: the seal, the /DSS, the document time-stamp). Fails
/// with one line, the PDF library's (a document certified with P = 1 or 2, a trail attached
/// already, ...); nothing is written anywhere.
Result<Bytes> sealAuditTrail(ByteView signedPdf, const std::string& name,
                             const std::string& requestId,
                             const std::vector<service::AuditEvent>& events,
                             const pdf::SigningIdentity& operatorIdentity,
                             std::optional<std::chrono::system_clock::time_point> time = {},
                             const LongTermSeal* longTerm = nullptr);

}  // namespace penwell::host
