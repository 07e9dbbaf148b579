#pragma once
// The audit trail as a file: the JSON document a sealed PDF carries (penwell-audit.json), with
// every event of a request and the hashes that chain them, and its reader. The file is written
// for people and for programs alike: each event has its time in UTC (ISO 8601, milliseconds),
// its kind, the signer's position, the client's address and user agent, the detail (a
// revision's SHA-256, a decline's reason) and its previous and own hash in hex, so anyone can
// recompute the chain from the canonical bytes (AuditChain.h) with standard tools.
//
//     {"format": "penwell-audit-1", "request": "req_1",
//      "events": [{"sequence": 1, "time": "2023-11-14T22:13:20.123Z", "type": "request.created",
//                  "signer": 0, "detail": "", "address": "192.0.2.1", "user_agent": "curl/8",
//                  "previous_hash": "00...", "hash": "9f..."}, ...],
//      "last_hash": "..."}
//
// "last_hash" repeats the last event's hash: removing events from the end leaves a shorter
// chain that holds, and this is what tells. A text that is not UTF-8 (a user agent is whatever
// a client sent) is written as {"hex": "..."} of its bytes, so every byte hashed comes back.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/platform/Result.h"
#include "penwell/service/Model.h"

namespace penwell::service {

/// The name of the embedded file that carries a request's trail in its sealed PDF.
inline constexpr const char* kAuditTrailFileName = "penwell-audit.json";
/// The largest trail file read: a request of a few signers writes a few dozen events of a few
/// hundred bytes each; a busy one with many reopened links stays far below this.
inline constexpr std::size_t kMaxAuditTrailBytes = 16u << 20;

struct AuditTrail {
    std::string requestId;
    std::vector<AuditEvent> events;
    Bytes lastHash;  ///< as the file states it
};

/// The file for `events` of request `requestId`, in the order given (the store's).
std::string encodeAuditTrail(const std::string& requestId, const std::vector<AuditEvent>& events);

/// Reads a trail file. Fails (invalid) with one line naming `name` and the value at fault
/// ("events[2].time: ..."): not JSON, over kMaxAuditTrailBytes, another format, a field missing,
/// unknown or of the wrong kind, a time or hash not written as the encoder writes it. Does not
/// judge the chain: checkAuditTrail() does.
Result<AuditTrail> decodeAuditTrail(std::string_view text, const std::string& name);

/// Whether the trail holds together: at least one event, the chain unbroken (verifyChain), and
/// its last hash the one the file states. Nullopt when it does, else one line naming the first
/// event at fault ("event 3 (signer.signed): its hash does not match its contents").
std::optional<std::string> checkAuditTrail(const AuditTrail& trail);

/// One line for a person: "3  2023-11-14T22:13:20.123Z  signer.signed  signer 1  192.0.2.7
/// "Mozilla/5.0"  <detail>".
std::string describeEvent(const AuditEvent& event);

/// `value` as a JSON string, or {"hex": ...} when it is not UTF-8: one line, whatever it holds.
std::string quoted(const std::string& value);

/// "2023-11-14T22:13:20.123Z" for milliseconds since the epoch (UTC); years 1970 to 9999.
std::string isoTime(TimeMs time);

}  // namespace penwell::service
