#pragma once
// What a change writes, worked out once for every store: the request after it, the audit
// events numbered and chained after the trail's last event, and the outbox entries with their
// bodies. A store only reads the last event and writes these rows.

#include <optional>
#include <string>
#include <vector>

#include "penwell/service/Model.h"
#include "penwell/service/Rules.h"

namespace penwell::service {

struct Writes {
    Request after;
    std::vector<AuditEvent> events;   ///< sequence, previousHash and hash filled
    std::vector<OutboxEntry> outbox;  ///< id 0 (the store numbers them), due at change.time
};

/// The writes of `change` to `before`, whose trail ends with `last` (nullopt: no events yet).
Writes writesOf(const Request& before, const Change& change, const std::optional<AuditEvent>& last);

/// The first event of a new request.
AuditEvent createdEvent(const std::string& requestId, TimeMs time, const Actor& actor);

}  // namespace penwell::service
