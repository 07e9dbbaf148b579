// The API's side of an HTTP connection: a request's header decides how large a body it may
// send (a document upload's is refused by its Content-Length before a byte of it is read),
// and the read request is handed to the API and its answer written (HttpRoutes.h).

#include "penwell/host/web/HttpRoutes.h"

namespace penwell::web {

namespace {

/// An upload of the largest document on a slow line: a minute per ~4 MiB at 0.5 Mbit/s
/// would be too slow anyway; ten minutes bounds a connection that trickles.
constexpr auto kUploadTimeout = std::chrono::minutes(10);

}  // namespace

bool HttpConnection::apiHeader() {
    const http::request<http::string_body>& header = parser_->get();
    std::string_view target = view(header.target());
    target = target.substr(0, target.find('?'));
    if (!server_->api || !api::Api::answers(target)) {
        return false;
    }
    apiRequest_ = true;
    const std::uint64_t limit = api::Api::bodyLimit(target);
    if (const auto length = parser_->content_length(); length && *length > limit) {
        // Refused unread: the connection is closed after the answer, so the body that
        // follows is never taken in.
        respondApi(api::refusal(413, "too_large",
                                "the body is " + std::to_string(*length) + " bytes, more than " +
                                    std::to_string(limit)),
                   false);
        return true;
    }
    if (limit > api::kMaxJsonBytes && header.method() == http::verb::post) {
        upload_ = server_->api->admitUpload();
        if (!upload_) {
            api::ApiResponse busy = api::refusal(
                503, "busy", "other documents are being uploaded; try again in a moment");
            busy.headers.emplace_back("Retry-After", "5");
            respondApi(std::move(busy), false);
            return true;
        }
        stream_.expires_after(kUploadTimeout);
    }
    parser_->body_limit(limit);
    if (beast::iequals(header[http::field::expect], "100-continue")) {
        // The client waits for this before it sends a large body.
        auto proceed =
            std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
        http::async_write(stream_, *proceed,
                          [self = shared_from_this(), proceed](beast::error_code ec, std::size_t) {
                              self->readBody(ec);
                          });
        return true;
    }
    readBody({});
    return true;
}

void HttpConnection::answerApi(http::request<http::string_body> request, std::string_view target,
                               std::string_view query) {
    api::ApiRequest call;
    call.method = std::string(view(request.method_string()));
    call.path = std::string(target);
    call.query = std::string(query);
    call.authorization = std::string(view(request[http::field::authorization]));
    call.contentType = std::string(view(request[http::field::content_type]));
    call.idempotencyKey = std::string(view(request["Idempotency-Key"]));
    call.userAgent = printable(std::string(view(request[http::field::user_agent])));
    call.address = clientAddress(request);
    if (call.address.empty()) {
        call.address = peer_.to_string();
    }
    call.body = std::move(request.body());
    const bool keepAlive = request.keep_alive();
    api::ApiResponse response;
    try {
        response = server_->api->handle(call);
    } catch (const std::exception& e) {
        // The last guard: one request fails, the server and its other connections go on.
        serverLog(std::string("an API request failed: ") + e.what());
        response = api::refusal(500, "internal", "the request could not be answered");
    }
    if (call.method == "HEAD") {
        response.body.clear();
    }
    upload_.reset();
    respondApi(std::move(response), keepAlive);
}

void HttpConnection::respondApi(api::ApiResponse answer, bool keepAlive) {
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(answer.status), 11);
    response->set(http::field::server, "penwell");
    response->set(http::field::content_type, answer.contentType);
    response->set(http::field::cache_control, "no-store");
    response->set("X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : answer.headers) {
        response->set(name, value);
    }
    response->body() = std::move(answer.body);
    response->keep_alive(keepAlive);
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                          self->written(ec, response->keep_alive());
                      });
}

}  // namespace penwell::web
