#pragma once
// A request's audit trail made the way the store makes it, for the tests of the chain and of
// the trail's file.

#include <vector>

#include "penwell/service/AuditChain.h"
#include "penwell/service/Writes.h"

namespace penwell::service::testing {

/// Five events of request req_1: created, then Ann's link opened, the document shown, signed,
/// and the request completed.
inline std::vector<AuditEvent> sampleTrail() {
    Request request;
    request.id = "req_1";
    request.expiresAt = 10'000;
    Signer ann;
    ann.position = 1;
    ann.name = "Ann Example";
    request.signers = {ann};
    std::vector<AuditEvent> events{createdEvent("req_1", 100, {"192.0.2.1", "curl/8"})};
    Change change;
    change.time = 200;
    change.events = {{"link.opened", 1, {}, {"192.0.2.7", "UA"}},
                     {"document.shown", 1, "00ff", {"192.0.2.7", "UA"}},
                     {"signer.signed", 1, "00ff", {"192.0.2.7", "UA"}},
                     {"request.completed", 0, {}, {"192.0.2.7", "UA"}}};
    const Writes writes = writesOf(request, change, events.back());
    events.insert(events.end(), writes.events.begin(), writes.events.end());
    return events;
}

}  // namespace penwell::service::testing
