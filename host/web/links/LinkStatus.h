#pragma once
// What a signing link shows its signer now: the pad and the document, the access code asked
// first, or one line in the signer's words (signer.json) saying why there is nothing to sign.
// Read only: it records nothing, so a page may ask as often as it likes.

#include <map>
#include <string>

#include "penwell/service/Model.h"

namespace penwell::web::links {

enum class LinkStep {
    sign,     ///< the document and the pad
    code,     ///< the access code is asked first
    locked,   ///< too many wrong access codes
    waiting,  ///< an earlier signer has not signed
    ended,    ///< signed, declined, or the request has ended
};

struct LinkStatus {
    LinkStep step = LinkStep::ended;
    std::string text;                           ///< the wording key of the line shown, if any
    std::map<std::string, std::string> values;  ///< its placeholders
};

/// The status of the signer at `position` (who must exist) at `now`: the same order of
/// checks as the service's rules, so the page says what a step would answer.
LinkStatus linkStatus(const service::Request& request, int position, service::TimeMs now);

/// The step's name for the page ("sign", "code", ...).
std::string nameOf(LinkStep step);

}  // namespace penwell::web::links
