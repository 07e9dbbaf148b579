#include "penwell/service/Writes.h"

#include "penwell/service/AuditChain.h"
#include "penwell/service/Webhook.h"

namespace penwell::service {

Writes writesOf(const Request& before, const Change& change,
                const std::optional<AuditEvent>& last) {
    Writes writes;
    writes.after = applied(before, change);
    std::int64_t sequence = last ? last->sequence : 0;
    Bytes previous = last ? last->hash : chainStart();
    for (const NewEvent& e : change.events) {
        AuditEvent event;
        event.sequence = ++sequence;
        event.time = change.time;
        event.type = e.type;
        event.signer = e.signer;
        event.detail = e.detail;
        event.actor = e.actor;
        event.previousHash = previous;
        event.hash = eventHash(before.id, event);
        previous = event.hash;
        writes.events.push_back(std::move(event));
    }
    for (const NewOutbox& o : change.outbox) {
        OutboxEntry entry;
        entry.requestId = before.id;
        entry.event = o.event;
        entry.body = webhookData(writes.after, o.signer);
        entry.url = before.webhookUrl;
        entry.createdAt = change.time;
        entry.nextAttemptAt = change.time;
        writes.outbox.push_back(std::move(entry));
    }
    return writes;
}

AuditEvent createdEvent(const std::string& requestId, TimeMs time, const Actor& actor) {
    AuditEvent event;
    event.sequence = 1;
    event.time = time;
    event.type = "request.created";
    event.actor = actor;
    event.previousHash = chainStart();
    event.hash = eventHash(requestId, event);
    return event;
}

}  // namespace penwell::service
