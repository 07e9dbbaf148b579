#include "penwell/tools/PdfAuditTrail.h"

#include "penwell/pdf/Seal.h"
#include "penwell/service/AuditTrailFile.h"

namespace penwell::tools {

TrailReport checkTrail(ByteView file, const std::string& name,
                       const std::vector<pdf::SignatureReport>& reports) {
    TrailReport report;
    const std::string trailName = std::string(service::kAuditTrailFileName);
    const Result<std::optional<pdf::Attachment>> found =
        pdf::findAttachment(file, name, trailName);
    if (found && !*found) {
        return report;
    }
    report.present = true;
    if (!found) {
        report.problem = found.error().message;
        return report;
    }
    const pdf::Attachment& attachment = **found;
    report.associated = attachment.associated;
    // The signature that covers it: the earliest whose revision holds every object of it as
    // the file reads now. A later update that replaced the trail is after every such revision.
    const pdf::SignatureReport* covering = nullptr;
    for (const pdf::SignatureReport& r : reports) {
        if (r.signatureValid && r.onlyIncrementalAfter && r.signedBytes > attachment.writtenAt &&
            (!covering || r.signedBytes < covering->signedBytes)) {
            covering = &r;
        }
    }
    if (covering) {
        report.sealedBy = covering->field;
    }
    const std::string text(attachment.bytes.begin(), attachment.bytes.end());
    const Result<service::AuditTrail> trail =
        service::decodeAuditTrail(text, name + ": " + trailName);
    if (!trail) {
        report.problem = trail.error().message;
        return report;
    }
    report.requestId = trail->requestId;
    report.events = trail->events;
    if (const std::optional<std::string> broken = service::checkAuditTrail(*trail)) {
        report.problem = "its chain is broken: " + *broken;
    } else if (!attachment.problem.empty()) {
        report.problem = "the embedded file is damaged: " + attachment.problem;
    } else if (!covering) {
        report.problem = "no valid signature covers it: it was added or changed after the last "
                         "signature";
    }
    return report;
}

}  // namespace penwell::tools
