#include "penwell/service/Rules.h"

#include <algorithm>

namespace penwell::service {
namespace {

Failure refused(ServiceCode code, std::string message) {
    return Failure(kServiceDomain, static_cast<std::int64_t>(code), std::move(message));
}

std::string endedLine(RequestState state) {
    switch (state) {
        case RequestState::kCompleted:
            return "This request is complete";
        case RequestState::kDeclined:
            return "This request was declined";
        case RequestState::kExpired:
            return "This request expired";
        case RequestState::kCancelled:
            return "This request was cancelled";
        case RequestState::kPending:
            break;
    }
    return {};
}

/// The expiry written down, refusing the step that found it; nullopt while not expired.
std::optional<Change> expiredInstead(const Request& request, TimeMs now) {
    Change change = expire(request, now);
    if (change.empty()) {
        return std::nullopt;
    }
    change.refusal = refused(ServiceCode::conflict, endedLine(RequestState::kExpired));
    return change;
}

/// The checks every signer's step shares: the expiry first (it writes), then mayAct.
std::optional<Result<Change>> signerGate(const Request& request, int position, TimeMs now) {
    if (auto change = expiredInstead(request, now)) {
        return Result<Change>(std::move(*change));
    }
    if (auto refusal = mayAct(request, position, now)) {
        return Result<Change>(std::move(*refusal));
    }
    return std::nullopt;
}

/// Seeing the document and signing need an opened link and, when the signer has one, the
/// access code given right.
MaybeFailure mayProceed(const Signer& signer) {
    if (signer.state != SignerState::kOpen) {
        return refused(ServiceCode::conflict, "The link must be opened first");
    }
    if (signer.hasAccessCode && !signer.codePassedAt) {
        return refused(ServiceCode::forbidden, "The access code is needed first");
    }
    return std::nullopt;
}

/// The gate of a step that needs the document: signerGate, then mayProceed.
std::optional<Result<Change>> documentGate(const Request& request, int position, TimeMs now) {
    if (auto gate = signerGate(request, position, now)) {
        return gate;
    }
    if (auto refusal = mayProceed(*signerAt(request, position))) {
        return Result<Change>(std::move(*refusal));
    }
    return std::nullopt;
}

Change at(TimeMs now) {
    Change change;
    change.time = now;
    return change;
}

}  // namespace

const Signer* signerAt(const Request& request, int position) {
    const auto found = std::find_if(request.signers.begin(), request.signers.end(),
                                    [&](const Signer& s) { return s.position == position; });
    return found == request.signers.end() ? nullptr : &*found;
}

MaybeFailure mayDraw(const Request& request, int position, TimeMs now) {
    if (auto refusal = mayAct(request, position, now)) {
        return refusal;
    }
    return mayProceed(*signerAt(request, position));
}

RequestState stateAt(const Request& request, TimeMs now) {
    if (request.state == RequestState::kPending && now >= request.expiresAt) {
        return RequestState::kExpired;
    }
    return request.state;
}

MaybeFailure mayAct(const Request& request, int position, TimeMs now) {
    const Signer* signer = signerAt(request, position);
    if (signer == nullptr) {
        return refused(ServiceCode::notFound,
                       "Request " + request.id + " has no signer " + std::to_string(position));
    }
    if (signer->state == SignerState::kSigned) {
        return refused(ServiceCode::conflict, "You have already signed");
    }
    if (signer->state == SignerState::kDeclined) {
        return refused(ServiceCode::conflict, "You have declined this request");
    }
    const RequestState state = stateAt(request, now);
    if (state != RequestState::kPending) {
        return refused(ServiceCode::conflict, endedLine(state));
    }
    // Signers sign in their order: the first one before this signer who has not signed yet
    // is the one awaited.
    for (const Signer& earlier : request.signers) {
        if (earlier.position < position && earlier.state != SignerState::kSigned) {
            return refused(ServiceCode::conflict, "Waiting for " + earlier.name + " to sign first");
        }
    }
    return std::nullopt;
}

Result<Change> openLink(const Request& request, int position, const Actor& actor, TimeMs now) {
    if (auto gate = signerGate(request, position, now)) {
        return std::move(*gate);
    }
    Change change = at(now);
    change.events.push_back({"link.opened", position, {}, actor});
    if (signerAt(request, position)->state == SignerState::kWaiting) {
        change.signers.push_back({position, SignerState::kOpen, {}});
        change.outbox.push_back({"signer.opened", position});
    }
    return change;
}

Result<Change> showDocument(const Request& request, int position, const std::string& sha256,
                            const Actor& actor, TimeMs now) {
    if (auto gate = documentGate(request, position, now)) {
        return std::move(*gate);
    }
    Change change = at(now);
    change.events.push_back({"document.shown", position, sha256, actor});
    return change;
}

Result<Change> enterAccessCode(const Request& request, int position, bool right, const Actor& actor,
                               TimeMs now) {
    if (auto gate = signerGate(request, position, now)) {
        return std::move(*gate);
    }
    if (signerAt(request, position)->codeRefusals >= kAccessCodeAttempts) {
        return refused(ServiceCode::forbidden,
                       "This link is locked after too many wrong access codes");
    }
    Change change = at(now);
    change.events.push_back(
        {right ? "access_code.passed" : "access_code.refused", position, {}, actor});
    if (right) {
        const Signer* signer = signerAt(request, position);
        change.signers.push_back({position, signer->state, {}, true});
    } else {
        change.refusal = refused(ServiceCode::forbidden, "The access code is not right");
    }
    return change;
}

Result<Change> sign(const Request& request, int position, const std::string& sha256,
                    const Actor& actor, TimeMs now, std::optional<int> shownRevision) {
    if (auto gate = documentGate(request, position, now)) {
        return std::move(*gate);
    }
    if (shownRevision) {
        const auto latest =
            std::count_if(request.signers.begin(), request.signers.end(),
                          [](const Signer& s) { return s.state == SignerState::kSigned; });
        if (latest != *shownRevision) {
            return refused(ServiceCode::conflict,
                           "The document changed after it was shown: open the link again");
        }
    }
    Change change = at(now);
    change.signers.push_back({position, SignerState::kSigned, {}});
    change.events.push_back({"signer.signed", position, sha256, actor});
    change.outbox.push_back({"signer.signed", position});
    const bool last = std::all_of(
        request.signers.begin(), request.signers.end(),
        [&](const Signer& s) { return s.position == position || s.state == SignerState::kSigned; });
    if (last) {
        change.requestState = RequestState::kCompleted;
        change.events.push_back({"request.completed", 0, {}, actor});
        change.outbox.push_back({"request.completed", 0});
    }
    return change;
}

Result<Change> decline(const Request& request, int position, const std::string& reason,
                       const Actor& actor, TimeMs now) {
    if (auto gate = signerGate(request, position, now)) {
        return std::move(*gate);
    }
    if (reason.find_first_not_of(" \t\r\n") == std::string::npos) {
        return refused(ServiceCode::invalid, "A reason is needed to decline");
    }
    Change change = at(now);
    change.requestState = RequestState::kDeclined;
    change.signers.push_back({position, SignerState::kDeclined, reason});
    change.events.push_back({"signer.declined", position, reason, actor});
    change.outbox.push_back({"signer.declined", position});
    return change;
}

Result<Change> seal(const Request& request, std::size_t revisions, const std::string& sha256,
                    const Actor& actor, TimeMs now) {
    if (request.state != RequestState::kCompleted) {
        return refused(ServiceCode::conflict, "Only a completed request is sealed");
    }
    if (revisions != request.signers.size() + 1) {
        return refused(ServiceCode::conflict, "This request is sealed already");
    }
    // Its files are gone: a sealed revision now would be a file that outlives its retention.
    if (request.purgedAt) {
        return refused(ServiceCode::conflict, "This request's files were deleted");
    }
    Change change = at(now);
    change.events.push_back({"request.sealed", 0, sha256, actor});
    change.outbox.push_back({"request.sealed", 0});
    return change;
}

Result<Change> cancel(const Request& request, const Actor& actor, TimeMs now) {
    if (auto change = expiredInstead(request, now)) {
        return std::move(*change);
    }
    if (request.state != RequestState::kPending) {
        return refused(ServiceCode::conflict, "Request " + request.id + " is " +
                                                  std::string(nameOf(request.state)) +
                                                  ", not pending");
    }
    Change change = at(now);
    change.requestState = RequestState::kCancelled;
    change.events.push_back({"request.cancelled", 0, {}, actor});
    change.outbox.push_back({"request.cancelled", 0});
    return change;
}

Change expire(const Request& request, TimeMs now) {
    Change change = at(now);
    if (request.state == RequestState::kPending && now >= request.expiresAt) {
        change.requestState = RequestState::kExpired;
        change.events.push_back({"request.expired", 0, {}, {}});
        change.outbox.push_back({"request.expired", 0});
    }
    return change;
}

Request applied(Request request, const Change& change) {
    if (change.requestState) {
        request.state = *change.requestState;
        request.endedAt = change.time;
    }
    for (const NewEvent& event : change.events) {
        if (event.type == "access_code.refused") {
            for (Signer& signer : request.signers) {
                signer.codeRefusals += signer.position == event.signer ? 1 : 0;
            }
        }
    }
    for (const SignerChange& update : change.signers) {
        for (Signer& signer : request.signers) {
            if (signer.position != update.position) {
                continue;
            }
            signer.state = update.state;
            if (update.codePassed) {
                signer.codePassedAt = change.time;
            }
            switch (update.state) {
                case SignerState::kOpen:
                    if (!signer.openedAt) {
                        signer.openedAt = change.time;
                    }
                    break;
                case SignerState::kSigned:
                    signer.signedAt = change.time;
                    break;
                case SignerState::kDeclined:
                    signer.declinedAt = change.time;
                    signer.declineReason = update.declineReason;
                    break;
                case SignerState::kWaiting:
                    break;
            }
        }
    }
    return request;
}

}  // namespace penwell::service
