#include "penwell/service/AuditChain.h"

#include "penwell/platform/openssl/Digests.h"

namespace penwell::service {
namespace {

void field(std::string& out, std::string_view value) {
    out += std::to_string(value.size());
    out += ':';
    out += value;
    out += '\n';
}

std::string describe(std::size_t index, const AuditEvent& event) {
    return "event " + std::to_string(index + 1) + " (" + event.type + ")";
}

}  // namespace

Bytes chainStart() {
    return Bytes(32, 0);
}

std::string canonicalBytes(const std::string& requestId, const AuditEvent& event) {
    std::string out = "penwell-audit-1\n";
    field(out, requestId);
    field(out, std::to_string(event.sequence));
    field(out, std::to_string(event.time));
    field(out, event.type);
    field(out, std::to_string(event.signer));
    field(out, event.detail);
    field(out, event.actor.address);
    field(out, event.actor.userAgent);
    field(out, hexDigits(event.previousHash));
    return out;
}

Bytes eventHash(const std::string& requestId, const AuditEvent& event) {
    const auto digest = openssl::sha256(asBytes(canonicalBytes(requestId, event)));
    return Bytes(digest.begin(), digest.end());
}

std::optional<ChainBreak> verifyChain(const std::string& requestId,
                                      const std::vector<AuditEvent>& events) {
    Bytes previous = chainStart();
    for (std::size_t i = 0; i < events.size(); ++i) {
        const AuditEvent& event = events[i];
        if (event.sequence != static_cast<std::int64_t>(i + 1)) {
            return ChainBreak{i, describe(i, event) + ": numbered " +
                                     std::to_string(event.sequence) + " where " +
                                     std::to_string(i + 1) + " belongs"};
        }
        if (!openssl::constantTimeEqual(event.previousHash, previous)) {
            return ChainBreak{i, describe(i, event) + ": does not chain to the event before it"};
        }
        const Bytes hash = eventHash(requestId, event);
        if (!openssl::constantTimeEqual(hash, event.hash)) {
            return ChainBreak{i, describe(i, event) + ": its hash does not match its contents"};
        }
        previous = hash;
    }
    return std::nullopt;
}

}  // namespace penwell::service
