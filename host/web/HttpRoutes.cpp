#include "penwell/host/web/HttpRoutes.h"

#include "penwell/host/web/WebAssets.h"

#include <limits>

namespace penwell::web {

namespace {

/// A page's request line and headers fit in this; the page sends no bodies.
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 1024;
constexpr auto kHttpTimeout = std::chrono::seconds(30);

}  // namespace

HttpConnection::HttpConnection(tcp::socket socket, Strand strand,
                               std::shared_ptr<Server::Impl> server, net::ip::address peer)
    : stream_(std::move(socket)),
      strand_(std::move(strand)),
      server_(std::move(server)),
      peer_(std::move(peer)) {}

void HttpConnection::read() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    // The parser would refuse a large Content-Length with the header, before the path is
    // known: each path's limit is set, and a larger length refused, once the header is read.
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    stream_.expires_after(kHttpTimeout);
    apiRequest_ = false;
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                if (ec || !self->apiHeader()) {
                                    self->readBody(ec);
                                }
                            });
}

void HttpConnection::readBody(beast::error_code ec) {
    if (!ec && !apiRequest_) {
        if (const auto length = parser_->content_length(); length && *length > kBodyLimit) {
            ec = http::error::body_limit;  // refused unread, as the page sends no bodies
        }
        parser_->body_limit(kBodyLimit);
    }
    if (ec) {
        received(ec);
        return;
    }
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->received(ec); });
}

void HttpConnection::received(beast::error_code ec) {
    if (ec) {
        upload_.reset();
        if (ec == http::error::body_limit && apiRequest_) {
            respondApi(api::refusal(413, "too_large", "the body is larger than this path takes"),
                       false);
        } else if (ec != http::error::end_of_stream && ec != beast::error::timeout &&
                   ec != net::error::operation_aborted) {
            // A request too large or malformed gets its answer; anything else just ends.
            respond(http::status::bad_request, "text/plain", "bad request\n", false);
        }
        return;
    }
    http::request<http::string_body> request = parser_->release();
    const std::string host(request[http::field::host]);
    if (!server_->hostAllowed(host)) {
        // A page under another name (DNS rebinding) must not reach the pad.
        serverLog("refused a request for host \"" + printable(host) + "\"");
        respond(http::status::forbidden, "text/plain", "host not allowed\n", false);
        return;
    }
    std::string_view target = view(request.target());
    const auto question = target.find('?');
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
    target = target.substr(0, question);
    if (websocket::is_upgrade(request)) {
        upgrade(std::move(request), target, query);
        return;
    }
    if (const auto origin = view(request[http::field::origin]);
        !origin.empty() && !server_->originAllowed(origin)) {
        // Another site's script asking for the page, pdf.js or the document.
        serverLog("refused a request from origin \"" + printable(std::string(origin)) + "\"");
        respond(http::status::forbidden, "text/plain", "origin not allowed\n", false);
        return;
    }
    if (apiRequest_) {
        answerApi(std::move(request), target, query);
        return;
    }
    if (links::isLinkPath(target)) {
        answer(
            links::answerLink(*server_, request.method(), target, request.body(), actor(request)),
            request.keep_alive());
        return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        respond(http::status::method_not_allowed, "text/plain", "GET only\n", request.keep_alive());
        return;
    }
    // Only these exact paths are answered, from memory: no request reaches the file system.
    const std::shared_ptr<const SignableDocument>& document = server_->options.pad.document;
    const WebAsset config{"/config.js", "text/javascript; charset=utf-8", server_->pageScript};
    const WebAsset logo{kBrandLogoPath,
                        server_->brand ? server_->brand->logoType : std::string_view(),
                        server_->brand ? server_->brand->logo : std::string_view()};
    const bool branded = server_->brand && !server_->brand->logoType.empty();
    for (const auto& assets : {webAssets(), std::span<const WebAsset>(&config, 1),
                               branded ? std::span<const WebAsset>(&logo, 1)
                                       : std::span<const WebAsset>(),
                               document ? document->assets() : std::span<const WebAsset>()}) {
        for (const WebAsset& asset : assets) {
            if (asset.path == target) {
                respond(http::status::ok, asset.contentType,
                        request.method() == http::verb::head ? std::string_view() : asset.body,
                        request.keep_alive());
                return;
            }
        }
    }
    respond(http::status::not_found, "text/plain", "not found\n", request.keep_alive());
}

void HttpConnection::respond(http::status status, std::string_view type, std::string_view body,
                             bool keepAlive) {
    answer({status, std::string(type), body, nullptr, {}}, keepAlive);
}

service::Actor HttpConnection::actor(const http::request<http::string_body>& request) {
    std::string address = clientAddress(request);
    if (address.empty()) {
        address = peer_.to_string();
    }
    // The trail keeps the user agent as sent (it is hashed, not printed), within a bound.
    std::string userAgent(view(request[http::field::user_agent]));
    userAgent.resize(std::min<std::size_t>(userAgent.size(), 512));
    return {std::move(address), std::move(userAgent)};
}

void HttpConnection::answer(links::Answer answer, bool keepAlive) {
    const http::status status = answer.status;
    const std::string_view type = answer.contentType;
    const std::string_view body = answer.body;
    auto response = std::make_shared<http::response<http::span_body<const char>>>(status, 11);
    if (!answer.location.empty()) {
        response->set(http::field::location, answer.location);
    }
    response->set(http::field::server, "penwell");
    response->set(http::field::content_type, beast::string_view(type.data(), type.size()));
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    if (server_->options.frameAncestors.empty()) {
        // For browsers that know no frame-ancestors; it can say only all or nothing.
        response->set("X-Frame-Options", "DENY");
    }
    response->set("Content-Security-Policy", server_->contentSecurityPolicy);
    // Cross-origin isolation: the page's event times then have microsecond resolution.
    response->set("Cross-Origin-Opener-Policy", "same-origin");
    response->set("Cross-Origin-Embedder-Policy", "require-corp");
    response->set("Cross-Origin-Resource-Policy", "same-origin");
    response->body() = {body.data(), body.size()};
    response->keep_alive(keepAlive);
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response, owner = std::move(answer.owner)](
                          beast::error_code ec, std::size_t) {
                          (void)owner;  // held until the body is written
                          self->written(ec, response->keep_alive());
                      });
}

void HttpConnection::written(beast::error_code ec, bool keepAlive) {
    if (!ec && keepAlive) {
        read();
    } else {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }
}

}  // namespace penwell::web
