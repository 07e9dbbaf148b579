#include "penwell/platform/curl/CurlUrl.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>

#include "penwell/platform/CHandle.h"
#include "penwell/platform/Http.h"

namespace penwell::curl {

namespace {

using Url = CHandle<CURLU, curl_url_cleanup>;
using Text = CHandle<char, curl_free>;

Failure badUrl(const std::string& why) {
    return Failure{kHttpErrorDomain, static_cast<std::int64_t>(HttpErrorKind::BadUrl), why};
}

}  // namespace

Result<WebUrl> parseWebUrl(const std::string& url) {
    // libcurl trims nothing and takes no white space inside a URL unless told to; control
    // characters are refused as well, so nothing here can split a header it ends up in.
    if (std::any_of(url.begin(), url.end(), [](char c) {
            return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
        })) {
        return badUrl("white space or a control character in the URL");
    }
    Url handle(curl_url());
    if (!handle) {
        return badUrl("libcurl could not start");
    }
    if (const CURLUcode rc = curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0);
        rc != CURLUE_OK) {
        return badUrl(curl_url_strerror(rc));
    }
    WebUrl parts;
    for (const auto& [part, into] : {std::pair{CURLUPART_SCHEME, &parts.scheme},
                                     std::pair{CURLUPART_HOST, &parts.host}}) {
        char* text = nullptr;
        if (const CURLUcode rc = curl_url_get(handle.get(), part, &text, 0); rc != CURLUE_OK) {
            return badUrl(curl_url_strerror(rc));
        }
        const Text owned(text);
        *into = owned.get();
    }
    std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (parts.scheme != "http" && parts.scheme != "https") {
        return badUrl("not an http:// or https:// URL");
    }
    if (parts.host.empty()) {
        return badUrl("no host");
    }
    return parts;
}

bool isLoopbackHost(const std::string& host) {
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "localhost") {
        return true;
    }
    in_addr v4{};
    if (::inet_pton(AF_INET, lower.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return lower.size() > 2 && lower.front() == '[' && lower.back() == ']' &&
           ::inet_pton(AF_INET6, lower.substr(1, lower.size() - 2).c_str(), &v6) == 1 &&
           IN6_IS_ADDR_LOOPBACK(&v6);
}

}  // namespace penwell::curl
