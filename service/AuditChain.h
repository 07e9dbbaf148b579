#pragma once
// The audit trail's hash chain. Each event's hash is SHA-256 over its canonical bytes, which
// include the hash of the event before it, so changing, removing or reordering any event
// breaks every hash after it and the verifier names the first place that no longer holds.
//
// The canonical bytes of an event (docs/service.md shows an example):
//     "penwell-audit-1\n"
//     then ten fields, each written as  <decimal byte length> ":" <bytes> "\n"
//       request id, sequence (decimal), time (decimal UTC milliseconds), type,
//       signer position (decimal, 0 for the request), detail, address, user agent,
//       previous hash (64 lowercase hex digits; all "0" for the first event)
// Lengths make every field unambiguous whatever bytes it holds (a user agent may hold ":" or a
// newline); decimal text keeps the form readable by any tool that recomputes it.

#include <optional>
#include <string>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/service/Model.h"

namespace penwell::service {

/// The previous hash of a request's first event: 32 zero bytes.
Bytes chainStart();

/// The canonical bytes of `event` in request `requestId` (its `hash` is not part of them).
std::string canonicalBytes(const std::string& requestId, const AuditEvent& event);

/// SHA-256 of canonicalBytes().
Bytes eventHash(const std::string& requestId, const AuditEvent& event);

/// Where a chain no longer holds: the index in the list given and one line saying why
/// ("event 3 (signer.signed): its hash does not match its contents").
struct ChainBreak {
    std::size_t index = 0;
    std::string message;
};

/// Walks `events` (in the order stored) and answers the first break, or nullopt when every
/// event is numbered 1, 2, ... without a gap, chains to the one before, and hashes to its
/// stored hash.
std::optional<ChainBreak> verifyChain(const std::string& requestId,
                                      const std::vector<AuditEvent>& events);

}  // namespace penwell::service
