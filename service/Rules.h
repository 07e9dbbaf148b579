#pragma once
// The rules of a signing request, as pure functions of its state and the time: who may open,
// sign or decline, in which order, until when. Each answers the Change to write in one
// transaction (states, audit events, webhook events), so every store applies the same rules
// and a failed write leaves nothing half done.

#include <optional>
#include <string>
#include <vector>

#include "penwell/platform/Result.h"
#include "penwell/service/Model.h"

namespace penwell::service {

/// What one signer's state becomes.
struct SignerChange {
    int position = 0;
    SignerState state = SignerState::kWaiting;
    std::string declineReason;
    bool codePassed = false;  ///< the access code was given right (the state stays)
};

/// An audit event to append (the store numbers and chains it).
struct NewEvent {
    std::string type;
    int signer = 0;
    std::string detail;
    Actor actor;
};

/// A webhook event to put in the outbox; its body is made from the request after the change.
struct NewOutbox {
    std::string event;
    int signer = 0;  ///< the signer it is about, 0 for the request
};

/// Everything one step writes, all at `time` and all or nothing.
struct Change {
    TimeMs time = 0;
    std::optional<RequestState> requestState;  ///< set when the request leaves pending
    std::vector<SignerChange> signers;
    std::vector<NewEvent> events;
    std::vector<NewOutbox> outbox;
    /// Written even though the step is refused: an act on a request whose expiry has passed
    /// records the expiry and answers "This request expired".
    MaybeFailure refusal;

    bool empty() const { return !requestState && signers.empty() && events.empty(); }
};

/// The request's state at `now`: a pending request past its expiry counts as expired even
/// before anything has written that down.
RequestState stateAt(const Request& request, TimeMs now);

/// Wrong access codes a link takes; after them it is locked and answers every code, the
/// right one too, "This link is locked after too many wrong access codes".
inline constexpr int kAccessCodeAttempts = 5;

/// The signer at `position`, or null when the request has none there.
const Signer* signerAt(const Request& request, int position);

/// Whether the signer at `position` may put ink on their pad now: as mayAct, and the link
/// opened and the access code (when there is one) given.
MaybeFailure mayDraw(const Request& request, int position, TimeMs now);

/// Whether the signer at `position` may open their link, see the document or sign now.
/// The refusal's message is the one line their page shows ("Waiting for Ann Example to sign
/// first", "This request expired", "You have already signed", ...), with code conflict, or
/// notFound for a position the request does not have.
MaybeFailure mayAct(const Request& request, int position, TimeMs now);

// Each step below answers the change to write, or a failure that writes nothing. A step on a
// request whose expiry has passed answers the expiry with a refusal inside (see Change).

/// The signer opened their link: waiting becomes open (signer.opened once); opening again is
/// only logged.
Result<Change> openLink(const Request& request, int position, const Actor& actor, TimeMs now);

/// The signer was shown the revision with this SHA-256.
Result<Change> showDocument(const Request& request, int position, const std::string& sha256,
                            const Actor& actor, TimeMs now);

/// The signer gave their access code, right or wrong (both go into the trail); refused
/// without a record once kAccessCodeAttempts wrong ones were given.
Result<Change> enterAccessCode(const Request& request, int position, bool right, const Actor& actor,
                               TimeMs now);

/// The signer signed the revision with this SHA-256; the last signer completes the request.
/// `shownRevision`, when given, is the revision the signer was shown and signed on: refused
/// (conflict) when the request has another latest revision by now, since revision n is the
/// document after its n-th signature.
Result<Change> sign(const Request& request, int position, const std::string& sha256,
                    const Actor& actor, TimeMs now, std::optional<int> shownRevision = {});

/// The signer declined, which ends the request. The reason is required.
Result<Change> decline(const Request& request, int position, const std::string& reason,
                       const Actor& actor, TimeMs now);

/// The completed request's final revision, with the SHA-256 `sha256`, was sealed with its
/// audit trail: request.sealed into the trail and the outbox. Refused (conflict) for a request
/// that is not completed, or that has `revisions` other than the upload and one per signer
/// (sealed already), or whose files were purged after the retention period.
Result<Change> seal(const Request& request, std::size_t revisions, const std::string& sha256,
                    const Actor& actor, TimeMs now);

/// The creator cancelled a pending request.
Result<Change> cancel(const Request& request, const Actor& actor, TimeMs now);

/// Expires a pending request whose time has come; an empty change for any other.
Change expire(const Request& request, TimeMs now);

/// The request as it is after `change` (what a store writes, and what webhook bodies show).
Request applied(Request request, const Change& change);

}  // namespace penwell::service
