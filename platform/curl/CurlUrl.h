#pragma once
// A URL read as libcurl reads it, for the few URLs Penwell is given to send a browser or a
// request to: the scheme and host it names, or why it is not one.

#include <string>

#include "penwell/platform/Result.h"

namespace penwell::curl {

struct WebUrl {
    std::string scheme;  ///< lowercase: "http" or "https"
    std::string host;    ///< as written; an IPv6 address in brackets ("[::1]")
};

/// Reads `url` as an absolute http:// or https:// URL with a host: no scheme guessed, no
/// white space or control character. Fails (kHttpErrorDomain, BadUrl) with libcurl's reason.
Result<WebUrl> parseWebUrl(const std::string& url);

/// Whether `host` (as WebUrl has it) is this machine: localhost, 127.0.0.0/8 or [::1].
bool isLoopbackHost(const std::string& host);

}  // namespace penwell::curl
