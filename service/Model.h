#pragma once
// What the signing service keeps: documents, requests with their signers in order, the audit
// events, the webhook outbox, API keys and the samples of a pad. Plain values; the rules that
// move them are in Rules.h and the storage in SigningStore.h.
//
// Times are milliseconds since the Unix epoch (UTC), as an injectable Clock answers them, so
// that no rule ever reads the real time and every test chooses its own.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/platform/Bytes.h"

namespace penwell::service {

/// The failure domain of the whole service library; the codes are ServiceCode.
inline constexpr const char* kServiceDomain = "PenwellService";

/// What a failure means to a caller (an HTTP layer maps each to a status).
enum class ServiceCode : std::int64_t {
    storage = 1,    ///< the database or the folder failed (full disk, damaged file, busy)
    notFound = 2,   ///< no such document, request, link or key
    conflict = 3,   ///< the state does not allow it (signed already, request ended, not your turn)
    invalid = 4,    ///< the input is malformed (empty name, expiry in the past, ...)
    schema = 5,     ///< the database's schema is not one this program can use
    forbidden = 6,  ///< a wrong access code, a revoked or unknown key
};

using TimeMs = std::int64_t;
/// The time now; tests give a fixed or stepped one.
using Clock = std::function<TimeMs()>;
/// The real clock (UTC milliseconds).
Clock systemClock();

enum class RequestState { kPending, kCompleted, kDeclined, kExpired, kCancelled };
enum class SignerState { kWaiting, kOpen, kSigned, kDeclined };

/// The names used in storage, the API and the webhooks ("pending", "signed", ...).
std::string_view nameOf(RequestState state);
std::string_view nameOf(SignerState state);
std::optional<RequestState> requestStateNamed(std::string_view name);
std::optional<SignerState> signerStateNamed(std::string_view name);

/// An uploaded PDF, kept as a file under the data folder.
struct Document {
    std::string id;
    std::string sha256;  ///< lowercase hex of the file's bytes
    std::int64_t size = 0;
    int pages = 0;
    TimeMs createdAt = 0;
};

/// A signer as the creator of a request describes them.
struct SignerSpec {
    std::string name;
    std::string email;
    std::string placement;  ///< where the ink goes, as the API gave it (JSON text, kept as is)
    std::string reason;
    std::string location;
    std::string accessCode;  ///< empty: none; otherwise stored only as a slow hash
};

struct Signer {
    std::int64_t id = 0;  ///< unique in the store
    int position = 0;     ///< 1, 2, ... in signing order
    std::string name;
    std::string email;
    std::string placement;
    std::string reason;
    std::string location;
    bool hasAccessCode = false;
    std::optional<TimeMs> codePassedAt;  ///< when the access code was given right
    /// Wrong access codes given so far, as the trail records them (access_code.refused): a
    /// count the store keeps, so that a restart does not hand out fresh guesses.
    int codeRefusals = 0;
    SignerState state = SignerState::kWaiting;
    std::optional<TimeMs> openedAt;
    std::optional<TimeMs> signedAt;
    std::optional<TimeMs> declinedAt;
    std::string declineReason;
};

struct Request {
    std::string id;
    std::string documentId;
    RequestState state = RequestState::kPending;
    TimeMs createdAt = 0;
    TimeMs expiresAt = 0;
    std::optional<TimeMs> endedAt;  ///< when it left pending
    /// When its samples and files were deleted after the retention period (serve --retention):
    /// the row, its signers, the revisions' hashes and the trail stay, the bytes do not.
    std::optional<TimeMs> purgedAt;
    std::string webhookUrl;         ///< empty: the server's
    std::string metadata;           ///< the integrator's JSON text, kept as is
    std::vector<Signer> signers;    ///< in signing order
    /// Where a signer's page goes after Done or Decline (the integrator's own page); empty:
    /// it stays on its last line.
    std::string returnUrl;
};

/// Who did something, for the trail: the client's address and user agent.
struct Actor {
    std::string address;
    std::string userAgent;
};

/// One event of a request's audit trail, hash-chained (AuditChain.h).
struct AuditEvent {
    std::int64_t sequence = 0;  ///< 1, 2, ... per request
    TimeMs time = 0;
    std::string type;    ///< "request.created", "link.opened", "document.shown", ...
    int signer = 0;      ///< the signer's position, 0 for the request itself
    std::string detail;  ///< the revision's SHA-256, the decline reason, ...
    Actor actor;
    Bytes previousHash;  ///< SHA-256 of the event before; 32 zero bytes for the first
    Bytes hash;          ///< SHA-256 of this event's canonical bytes
};

/// One webhook event waiting in the outbox.
struct OutboxEntry {
    std::int64_t id = 0;  ///< also the event id the receiver sees, unique and increasing
    std::string requestId;
    std::string event;  ///< "signer.signed", "request.completed", ...
    std::string body;   ///< the JSON POSTed, made when the event was written
    std::string url;    ///< empty: the server's
    TimeMs createdAt = 0;
    int attempts = 0;  ///< deliveries tried so far
    TimeMs nextAttemptAt = 0;
};

/// An API key as listed: never the key itself.
struct ApiKey {
    std::string name;
    TimeMs createdAt = 0;
    std::optional<TimeMs> revokedAt;
};

/// One page message's samples for a signer's pad, as the page sent them (encoded bytes).
struct SampleBatch {
    std::int64_t sequence = 0;  ///< the page's message number, increasing per signer
    Bytes samples;
};

/// One revision of a request's document: 0 is the upload, n the document after signer n.
struct Revision {
    int number = 0;
    std::string sha256;
    TimeMs createdAt = 0;
};

}  // namespace penwell::service
