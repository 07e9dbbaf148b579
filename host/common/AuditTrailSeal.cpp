#include "penwell/host/common/AuditTrailSeal.h"

#include "penwell/pdf/LongTerm.h"
#include "penwell/pdf/Seal.h"
#include "penwell/service/AuditTrailFile.h"

namespace penwell::host {

Result<Bytes> sealAuditTrail(ByteView signedPdf, const std::string& name,
                             const std::string& requestId,
                             const std::vector<service::AuditEvent>& events,
                             const pdf::SigningIdentity& operatorIdentity,
                             std::optional<std::chrono::system_clock::time_point> time,
                             const LongTermSeal* longTerm) {
    const std::string trail = service::encodeAuditTrail(requestId, events);
    pdf::SealRequest request;
    request.fileName = service::kAuditTrailFileName;
    request.mediaType = "application/json";
    request.description = "Audit trail of signing request " + requestId;
    request.file.assign(trail.begin(), trail.end());
    request.reason = "Audit trail of signing request " + requestId;
    request.time = time;
    if (!longTerm) {
        return pdf::sealPdf(signedPdf, name, request, operatorIdentity);
    }
    const pdf::TimestampAuthority tsa{longTerm->tsaUrl, longTerm->http};
    request.timestamp = tsa;
    pdf::LongTermLevel level;
    level.sources.trust = longTerm->trust;
    level.sources.http = longTerm->http;
    level.archive = tsa;
    return pdf::sealPdf(signedPdf, name, request, operatorIdentity, level);
}

}  // namespace penwell::host
