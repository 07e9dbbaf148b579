#pragma once
// The audit trail a sealed PDF carries, for `pdf verify`: found by its attachment's name,
// read, its chain checked, and the signature that covers it named.

#include <string>
#include <vector>

#include "penwell/pdf/PdfSignature.h"
#include "penwell/service/Model.h"

namespace penwell::tools {

struct TrailReport {
    bool present = false;         ///< the document carries a trail
    std::string requestId;
    std::vector<service::AuditEvent> events;
    bool associated = false;      ///< also among the catalog's associated files
    std::string sealedBy;         ///< the field of the signature that covers it; empty: none
    std::string problem;          ///< why the trail does not check out; empty when it does

    bool ok() const { return !present || problem.empty(); }
};

/// The trail of `file` (named `name`) judged with the signatures' `reports`: it must read as a
/// trail, hold together (service::checkAuditTrail), and lie within the revision of a valid
/// signature with only incremental updates after it.
TrailReport checkTrail(ByteView file, const std::string& name,
                       const std::vector<pdf::SignatureReport>& reports);

}  // namespace penwell::tools
