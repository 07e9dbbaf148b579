#include "penwell/platform/curl/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>
#include <string_view>

#include "penwell/platform/CHandle.h"

namespace penwell::curl {

namespace {

using Easy = CHandle<CURL, curl_easy_cleanup>;
using HeaderList = CHandle<curl_slist, curl_slist_free_all>;

Failure failure(HttpErrorKind kind, const std::string& url, const std::string& what) {
    return Failure::at(kHttpErrorDomain, static_cast<std::int64_t>(kind), url, what);
}

/// curl_global_init is not thread-safe: once per process, before the first handle.
bool globalInit() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ok;
}

std::optional<std::string> schemeOf(const std::string& url) {
    const std::size_t colon = url.find("://");
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    std::string scheme = url.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (scheme != "http" && scheme != "https") {
        return std::nullopt;
    }
    return scheme;
}

struct Sink {
    Bytes body;
    std::uint64_t limit = 0;
    bool overflowed = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* user) {
    Sink& sink = *static_cast<Sink*>(user);
    const std::size_t n = size * count;
    if (sink.body.size() + n > sink.limit) {
        sink.overflowed = true;
        return 0;  // libcurl ends the transfer with CURLE_WRITE_ERROR
    }
    sink.body.insert(sink.body.end(), reinterpret_cast<const std::uint8_t*>(data),
                     reinterpret_cast<const std::uint8_t*>(data) + n);
    return n;
}

struct Request {
    bool post = false;
    std::string contentType;
    ByteView body;
    const HttpHeaders* headers = nullptr;
};

/// A header name is an RFC 9110 token; a value holds no line break or NUL, which would end
/// the header and let the rest be read as another.
bool sendable(const std::pair<std::string, std::string>& header) {
    const auto& [name, value] = header;
    const bool nameOk = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
    return nameOk && value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
}

/// One exchange with `url`, no redirect followed: the answer and, for a redirect, where to.
struct Exchange {
    HttpResponse response;
    std::optional<std::string> location;
};

Result<Exchange> exchange(const std::string& url, const Request& request, const HttpLimits& limits,
                          std::chrono::milliseconds left) {
    Easy easy(curl_easy_init());
    if (!easy) {
        return failure(HttpErrorKind::Unavailable, url, "libcurl cannot make a handle");
    }
    Sink sink;
    sink.limit = limits.maxResponseBytes;
    char error[CURL_ERROR_SIZE] = {};
    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // threads: no SIGALRM for resolver timeouts
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::min(limits.connectTimeout, left).count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE,
                     static_cast<curl_off_t>(limits.maxResponseBytes));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "Penwell");
    HeaderList headers;
    if (request.post) {
        headers.reset(curl_slist_append(nullptr, ("Content-Type: " + request.contentType).c_str()));
        if (!headers) {
            return failure(HttpErrorKind::Unavailable, url, "libcurl cannot make a header list");
        }
        static const HttpHeaders none;
        for (const auto& header : request.headers ? *request.headers : none) {
            if (!sendable(header)) {
                return failure(HttpErrorKind::BadHeader, url,
                               "refuses to send the header \"" + header.first +
                                   "\": its name is not a token or its value breaks the line");
            }
            // curl_slist_append answers null and keeps the list when it cannot append.
            if (!curl_slist_append(headers.get(), (header.first + ": " + header.second).c_str())) {
                return failure(HttpErrorKind::Unavailable, url, "libcurl cannot make a header list");
            }
        }
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
    }
    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
        if (sink.overflowed || code == CURLE_FILESIZE_EXCEEDED) {
            return failure(HttpErrorKind::TooLarge, url,
                           "the answer is longer than " + std::to_string(limits.maxResponseBytes) +
                               " bytes");
        }
        const std::string why = error[0] != '\0' ? error : curl_easy_strerror(code);
        const HttpErrorKind kind =
            code == CURLE_OPERATION_TIMEDOUT ? HttpErrorKind::TimedOut : HttpErrorKind::Unreachable;
        return failure(kind, url, why);
    }
    Exchange out;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &out.response.status);
    const char* type = nullptr;
    if (curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
        out.response.contentType = type;
    }
    const long s = out.response.status;
    if (s == 301 || s == 302 || s == 303 || s == 307 || s == 308) {
        const char* location = nullptr;
        if (curl_easy_getinfo(h, CURLINFO_REDIRECT_URL, &location) == CURLE_OK &&
            location != nullptr) {
            out.location = location;
        }
    }
    out.response.body = std::move(sink.body);
    return out;
}

Result<HttpResponse> perform(const std::string& url, Request request, const HttpLimits& limits) {
    std::optional<std::string> scheme = schemeOf(url);
    if (!scheme) {
        return failure(HttpErrorKind::BadUrl, url, "not an http:// or https:// URL");
    }
    if (!globalInit()) {
        return failure(HttpErrorKind::Unavailable, url, "libcurl cannot start");
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + limits.totalTimeout;
    std::string at = url;
    for (int redirects = 0;; ++redirects) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return failure(HttpErrorKind::TimedOut, url,
                           "no answer within " + std::to_string(limits.totalTimeout.count()) +
                               " ms");
        }
        Result<Exchange> step = exchange(at, request, limits, left);
        if (!step) {
            // Named by the URL asked for, with the hop that failed when it is another.
            if (at == url) {
                return step.error();
            }
            Failure f = step.error();
            return failure(static_cast<HttpErrorKind>(f.code), url,
                           "redirected to " + f.message);
        }
        if (!step->location) {
            return std::move(step->response);
        }
        if (redirects >= limits.maxRedirects) {
            return failure(HttpErrorKind::BadRedirect, url,
                           "more than " + std::to_string(limits.maxRedirects) + " redirects");
        }
        const std::optional<std::string> next = schemeOf(*step->location);
        if (!next) {
            return failure(HttpErrorKind::BadRedirect, url,
                           "refuses the redirect to " + *step->location);
        }
        if (*scheme == "https" && *next == "http") {
            return failure(HttpErrorKind::BadRedirect, url,
                           "refuses the redirect from https to http: " + *step->location);
        }
        if (step->response.status == 303) {
            request.post = false;  // "see other": the answer is fetched, not the query repeated
        }
        at = *step->location;
        scheme = next;
    }
}

}  // namespace

Result<HttpResponse> CurlHttpClient::post(const std::string& url, const std::string& contentType,
                                          ByteView body, const HttpHeaders& headers) {
    return perform(url, Request{true, contentType, body, &headers}, limits_);
}

Result<HttpResponse> CurlHttpClient::get(const std::string& url) {
    return perform(url, Request{}, limits_);
}

}  // namespace penwell::curl
