#pragma once
// The HttpClient on libcurl. Each request is one easy handle, made and freed within the call,
// so one client may serve several threads at once.
//
//  - Only http:// and https:// are spoken, and a redirect is followed only to one of them,
//    never from https:// down to http:// (the exchange would lose its protection half-way).
//    A POST stays a POST through 301, 302, 307 and 308: a time-stamp query sent again as a
//    GET would be refused by the server or, worse, answered with a page.
//  - The proxy comes from the environment as everywhere else (http_proxy, https_proxy,
//    no_proxy), which libcurl reads by itself.
//  - A body longer than HttpLimits::maxResponseBytes ends the transfer: no caller has a use
//    for a cut answer, and an unbounded one would let a server fill memory.

#include "penwell/platform/Http.h"

namespace penwell::curl {

class CurlHttpClient final : public HttpClient {
public:
    explicit CurlHttpClient(HttpLimits limits = {}) : limits_(limits) {}

    Result<HttpResponse> post(const std::string& url, const std::string& contentType,
                              ByteView body, const HttpHeaders& headers = {}) override;
    Result<HttpResponse> get(const std::string& url) override;

private:
    HttpLimits limits_;
};

}  // namespace penwell::curl
