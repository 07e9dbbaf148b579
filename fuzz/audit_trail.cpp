// The audit-trail file a sealed PDF carries, as `pdf verify` reads it from any document it is
// given: decoded, judged, and, when it decodes, written again. What decodes must come back the
// same through the writer (the reader refuses anything the writer would not write), and no
// input may crash, hang or read out of bounds.

#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "penwell/service/AuditTrailFile.h"

using namespace penwell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const Result<service::AuditTrail> trail = service::decodeAuditTrail(input, "fuzz");
    if (!trail) {
        return 0;
    }
    (void)service::checkAuditTrail(*trail);
    for (const service::AuditEvent& event : trail->events) {
        (void)service::describeEvent(event);
    }
    const std::string again = service::encodeAuditTrail(trail->requestId, trail->events);
    const Result<service::AuditTrail> reread = service::decodeAuditTrail(again, "fuzz again");
    if (!reread || reread->requestId != trail->requestId ||
        reread->events.size() != trail->events.size() ||
        service::encodeAuditTrail(reread->requestId, reread->events) != again) {
        std::abort();  // the writer wrote what its own reader refuses or reads otherwise
    }
    return 0;
}
