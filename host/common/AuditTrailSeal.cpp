#include "penwell/host/common/AuditTrailSeal.h"

#include "penwell/pdf/Seal.h"
#include "penwell/service/AuditTrailFile.h"

namespace penwell::host {

Result<Bytes> sealAuditTrail(ByteView signedPdf, const std::string& name,
                             const std::string& requestId,
                             const std::vector<service::AuditEvent>& events,
                             const SigningIdentity& operatorIdentity, const std::string& keyName,
                             const std::string& certificateName,
                             std::optional<std::chrono::system_clock::time_point> time) {
    Result<pdf::SigningIdentity> identity =
        pdf::SigningIdentity::fromOperator(operatorIdentity, keyName, certificateName);
    if (!identity) {
        return identity.error();
    }
    const std::string trail = service::encodeAuditTrail(requestId, events);
    pdf::SealRequest request;
    request.fileName = service::kAuditTrailFileName;
    request.mediaType = "application/json";
    request.description = "Audit trail of signing request " + requestId;
    request.file.assign(trail.begin(), trail.end());
    request.reason = "Audit trail of signing request " + requestId;
    request.time = time;
    return pdf::sealPdf(signedPdf, name, request, *identity);
}

}  // namespace penwell::host
