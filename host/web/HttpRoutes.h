#pragma once
// Inside the server (not installed): one HTTP connection. It answers the page's few exact paths
// from memory (the page, its script and texts, the document and pdf.js), refuses other hosts
// and origins, hands a WebSocket upgrade to /ws over to a signer's pad (PadUpgrade.cpp), and
// a request to the signing service's API over to it (api/ApiConnection.cpp).

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "penwell/host/web/ServerState.h"
#include "penwell/host/web/api/Api.h"
#include "penwell/host/web/links/LinkRoutes.h"

namespace penwell::web {

class HttpConnection final : public std::enable_shared_from_this<HttpConnection> {
public:
    /// `peer` is the client's address: the socket's peer, or for TLS the bridge's client.
    HttpConnection(tcp::socket socket, Strand strand, std::shared_ptr<Server::Impl> server,
                   net::ip::address peer);

    /// Reads the next request, within the header and body limits and the request timeout.
    void read();

private:
    /// After the header: reads the body within the path's limit, unless the API refused it.
    void readBody(beast::error_code ec);
    void received(beast::error_code ec);
    /// After the header of a request to the API (api/ApiConnection.cpp): refuses a body over
    /// its path's limit unread, or reads it; false for any other path.
    bool apiHeader();
    void answerApi(http::request<http::string_body> request, std::string_view target,
                   std::string_view query);
    void respondApi(api::ApiResponse answer, bool keepAlive);
    /// After an answer: the next request, or the end of the connection.
    void written(beast::error_code ec, bool keepAlive);
    /// A WebSocket upgrade: to /ws, from an allowed origin, for a pad of its own or the one
    /// its resume token names.
    void upgrade(http::request<http::string_body> request, std::string_view target,
                 std::string_view query);
    /// Whom the per-address limits count a new session against: see
    /// ServerOptions::sessionsPerAddress. Empty: no one's.
    std::string clientAddress(const http::request<http::string_body>& request);
    /// Completes the WebSocket handshake and closes at once with 1013: a browser's page is
    /// told nothing of an HTTP refusal, but it sees this code and tries again by itself.
    void tryAgainLater(http::request<http::string_body> request, const std::string& reason);
    /// `body` must outlive the write: a literal, an embedded file, or the document's (which
    /// the server keeps), so a large document is not copied for every request.
    void respond(http::status status, std::string_view type, std::string_view body, bool keepAlive);
    /// As respond(), with the answer's owner kept until written and its redirect, if any.
    void answer(links::Answer answer, bool keepAlive);
    /// Who asks, for a signing link's trail: the peer's address (or the proxy's client, as
    /// clientAddress() takes it) and the user agent.
    service::Actor actor(const http::request<http::string_body>& request);

    beast::tcp_stream stream_;
    Strand strand_;
    std::shared_ptr<Server::Impl> server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool apiRequest_ = false;       // the request being read is the API's
    std::shared_ptr<void> upload_;  // a document upload's place, held until answered
    net::ip::address peer_;
};

}  // namespace penwell::web
