#pragma once
// A small HTTP client interface for the few requests Penwell makes itself: time-stamp tokens,
// OCSP answers and CRLs for long-term signatures, and the signing service's webhooks. The
// backend (platform/curl/) is the only code that sees an HTTP library; callers and their tests
// hold an HttpClient and never learn which.

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell {

/// Domain of every failure of an HttpClient; codes are HttpErrorKind values.
inline constexpr const char* kHttpErrorDomain = "PenwellHttp";

enum class HttpErrorKind {
    BadUrl = 1,    ///< not an http:// or https:// URL
    Unreachable,   ///< name resolution, connection or TLS failed
    TimedOut,      ///< the connect or the total timeout passed
    TooLarge,      ///< the answer is longer than the limit
    BadRedirect,   ///< too many redirects, one to another scheme, or from https to http
    Unavailable,   ///< the HTTP library itself could not start
    BadHeader,     ///< a header name or value that would split the request
};

/// Extra request headers, name and value, sent as given.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

/// An answer as it came, whatever its status: a caller judges 4xx and 5xx itself, because
/// what they mean (a TSA refusing, a webhook to retry) is the caller's to say.
struct HttpResponse {
    long status = 0;
    std::string contentType;  ///< as sent, parameters included; empty when none was
    Bytes body;
};

struct HttpLimits {
    std::chrono::milliseconds connectTimeout{10'000};
    /// The whole exchange, redirects included.
    std::chrono::milliseconds totalTimeout{30'000};
    /// The longest body accepted; a longer one is refused, not cut.
    std::uint64_t maxResponseBytes = 1u << 20;
    int maxRedirects = 5;
};

class HttpClient {
public:
    virtual ~HttpClient() = default;

    /// POSTs `body` as `contentType` to `url`, with `headers` besides, and answers what came
    /// back. On failure (no answer, too slow, too long, a refused redirect, a header with a
    /// line break or a name that is not a token) the message is one line that starts with the
    /// URL; nothing is kept between calls.
    virtual Result<HttpResponse> post(const std::string& url, const std::string& contentType,
                                      ByteView body, const HttpHeaders& headers = {}) = 0;
    /// GETs `url`; as post().
    virtual Result<HttpResponse> get(const std::string& url) = 0;
};

}  // namespace penwell
