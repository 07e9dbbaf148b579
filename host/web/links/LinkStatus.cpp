#include "penwell/host/web/links/LinkStatus.h"

#include "penwell/service/Rules.h"

namespace penwell::web::links {

using service::RequestState;
using service::SignerState;

LinkStatus linkStatus(const service::Request& request, int position, service::TimeMs now) {
    const service::Signer& signer = *service::signerAt(request, position);
    if (signer.state == SignerState::kSigned) {
        return {LinkStep::ended, "linkSigned", {}};
    }
    if (signer.state == SignerState::kDeclined) {
        return {LinkStep::ended, "linkYouDeclined", {}};
    }
    switch (service::stateAt(request, now)) {
        case RequestState::kCompleted:
            return {LinkStep::ended, "linkCompleted", {}};
        case RequestState::kDeclined:
            return {LinkStep::ended, "linkDeclined", {}};
        case RequestState::kExpired:
            return {LinkStep::ended, "linkExpired", {}};
        case RequestState::kCancelled:
            return {LinkStep::ended, "linkCancelled", {}};
        case RequestState::kPending:
            break;
    }
    for (const service::Signer& earlier : request.signers) {
        if (earlier.position < position && earlier.state != SignerState::kSigned) {
            return {LinkStep::waiting, "linkWaiting", {{"name", earlier.name}}};
        }
    }
    if (signer.hasAccessCode && !signer.codePassedAt) {
        if (signer.codeRefusals >= service::kAccessCodeAttempts) {
            return {LinkStep::locked, "linkLocked", {}};
        }
        return {LinkStep::code, "accessCodeAsk", {}};
    }
    return {LinkStep::sign, {}, {}};
}

std::string nameOf(LinkStep step) {
    switch (step) {
        case LinkStep::sign:
            return "sign";
        case LinkStep::code:
            return "code";
        case LinkStep::locked:
            return "locked";
        case LinkStep::waiting:
            return "waiting";
        case LinkStep::ended:
            break;
    }
    return "ended";
}

}  // namespace penwell::web::links
