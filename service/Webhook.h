#pragma once
// What a webhook delivery sends and when it tries again. The body is fixed when the event
// is written, so every retry POSTs the same bytes under the same event id.
//
// The signature header lets a receiver check that the body came from this server and is not
// a replay from long ago:
//     Penwell-Signature: t=TIME,v1=HEX
// where TIME is the delivery time in whole Unix seconds and HEX the lowercase hex of
// HMAC-SHA256(secret, TIME "." BODY).

#include <cstdint>
#include <optional>
#include <string>

#include "penwell/service/Model.h"

namespace penwell::service {

/// The value of the Penwell-Signature header for `body` sent at `unixSeconds`.
std::string webhookSignature(const std::string& secret, std::int64_t unixSeconds,
                             const std::string& body);

/// The JSON body of `entry`'s delivery: {"id":"evt_<id>","type":...,"created":<ms>,
/// "data":<the entry's body>}. The same bytes for every attempt.
std::string webhookPayload(const OutboxEntry& entry);

/// The body an outbox entry keeps for a change to `request` (the request after the change):
/// its id, state, the signer it is about (position, name, state), and the metadata.
std::string webhookData(const Request& request, int signerPosition);

/// When to try again after `attempts` failed deliveries of an event first written at
/// `createdAt`: 30 s after the first failure, doubling each time (30 s, 1 min, 2 min, ...),
/// each wait at most 6 hours, and never after 24 hours from `createdAt`; nullopt when the
/// next attempt would fall after that, and the event is given up.
std::optional<TimeMs> nextAttempt(TimeMs createdAt, int attempts, TimeMs failedAt);

/// The window within which delivery is retried.
inline constexpr TimeMs kWebhookRetryWindowMs = 24LL * 60 * 60 * 1000;

}  // namespace penwell::service
