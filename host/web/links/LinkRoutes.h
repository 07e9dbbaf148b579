#pragma once
// Inside the server (not installed): the HTTP side of a signing link, /s/{token}/ (serve
// --data). The link serves the same page as a free pad, under its own path, with its own
// settings: who signs and why, the access code asked first, a Decline with a reason, or the
// one line saying why there is nothing to sign. An unknown token is answered 404 and nothing
// more. The pad's WebSocket is /s/{token}/ws (PadUpgrade.cpp).

#include <memory>
#include <string>
#include <string_view>

#include "penwell/host/web/ServerState.h"
#include "penwell/service/Model.h"

namespace penwell::web::links {

/// What the connection writes back.
struct Answer {
    http::status status = http::status::ok;
    std::string contentType = "text/plain";
    std::string_view body;              ///< held by `owner`, or by the program
    std::shared_ptr<const void> owner;  ///< kept until the answer is written
    std::string location;               ///< a redirect's target
};

/// Whether `target` (the path, without its query) is under /s/.
bool isLinkPath(std::string_view target);

/// The token of a link pad's WebSocket path /s/{token}/ws; empty for any other path.
std::string padToken(std::string_view target);

/// Answers a request for a path under /s/: GET or HEAD for the page, what it loads and what
/// the link shows now (/status.json), POST for the access code (/code) and a decline
/// (/decline), each with its text as the body.
Answer answerLink(Server::Impl& server, http::verb method, std::string_view target,
                  std::string_view body, const service::Actor& actor);

}  // namespace penwell::web::links
