#pragma once
// A server in the test's process on a free loopback port, and the clients that talk to it over
// real sockets: a page's WebSocket and a plain HTTP request. Every wait is bounded: a read gives
// up after a few seconds, a retry loop after a fixed number of tries.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "penwell/host/web/Server.h"

namespace penwell::web::servertest {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

/// A read that waits longer than this fails: no test can hang on the server.
inline void boundReads(tcp::socket& socket) {
    const timeval limit{5, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

/// A server on a free loopback port, run on a thread of its own until the test ends.
class Running {
public:
    explicit Running(ServerOptions options) {
        options.port = 0;
        options.handleSignals = false;
        options.pad.services.resources = PENWELL_SOURCE_DIR "/demo-certificate";
        server_ = Server::listen(std::move(options)).value();
        thread_ = std::thread([this] { server_->run(); });
    }
    ~Running() {
        server_->stop();
        thread_.join();
    }
    std::uint16_t port() const { return server_->port(); }

private:
    std::unique_ptr<Server> server_;
    std::thread thread_;
};

/// A page's WebSocket, or a script's.
class Client {
public:
    /// Connects and shakes hands; `forwardedFor` sends an X-Forwarded-For, as a proxy would.
    Client(std::uint16_t port, const std::string& forwardedFor = {}, const std::string& query = {},
           const std::string& path = "/ws")
        : ws_(io_) {
        ws_.next_layer().connect({net::ip::make_address("127.0.0.1"), port});
        boundReads(ws_.next_layer());
        const std::string origin = "http://127.0.0.1:" + std::to_string(port);
        ws_.set_option(websocket::stream_base::decorator([=](websocket::request_type& r) {
            r.set(beast::http::field::origin, origin);
            if (!forwardedFor.empty()) {
                r.set("X-Forwarded-For", forwardedFor);
            }
        }));
        ws_.handshake("127.0.0.1:" + std::to_string(port), path + query);
    }

    /// The next text message, or nothing when the server closed (see closeCode()).
    std::optional<nlohmann::json> next() {
        for (;;) {
            beast::flat_buffer buffer;
            beast::error_code ec;
            ws_.read(buffer, ec);
            if (ec) {
                return std::nullopt;
            }
            if (ws_.got_text()) {
                return nlohmann::json::parse(beast::buffers_to_string(buffer.data()));
            }
        }
    }
    /// The first message of a pad the server made: its hello. Nothing when refused.
    std::optional<nlohmann::json> hello() {
        auto message = next();
        return message && (*message)["type"] == "hello" ? message : std::nullopt;
    }
    void send(const std::string& text) { ws_.write(net::buffer(text)); }
    /// Messages until one satisfies `wanted`, which answers it; nothing after `limit` of them
    /// or when the server closed.
    template <typename Wanted>
    std::optional<nlohmann::json> until(Wanted wanted, int limit = 10000) {
        for (int i = 0; i < limit; ++i) {
            auto message = next();
            if (!message || wanted(*message)) {
                return message;
            }
        }
        return std::nullopt;
    }
    /// The server's close code, and its reason.
    int closeCode() const { return ws_.reason().code; }
    std::string closeReason() const {
        return {ws_.reason().reason.data(), ws_.reason().reason.size()};
    }
    /// Gone without a close, as when a network drops.
    void drop() { ws_.next_layer().close(); }

private:
    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
};

/// Tries to get a pad `tries` times, a little apart, asking with `query`; answers its hello.
inline std::optional<nlohmann::json> padWithin(std::uint16_t port, int tries,
                                               const std::string& query = {}) {
    for (int i = 0; i < tries; ++i) {
        Client client(port, {}, query);
        if (auto hello = client.hello()) {
            return hello;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
}

/// What the server answered one HTTP request: nothing when it closed without an answer.
inline std::optional<http::response<http::string_body>> askHttp(std::uint16_t port,
                                                                const std::string& raw) {
    net::io_context io;
    tcp::socket socket(io);
    socket.connect({net::ip::make_address("127.0.0.1"), port});
    boundReads(socket);
    net::write(socket, net::buffer(raw));
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(64u << 20);
    beast::error_code ec;
    http::read(socket, buffer, parser, ec);
    if (ec) {
        return std::nullopt;
    }
    return parser.release();
}

/// A request as a browser sends it to the server on `port`: its own Host, `more` header lines
/// (each ending in CRLF) and no body.
inline std::string request(std::uint16_t port, const std::string& method, const std::string& target,
                           const std::string& more = "") {
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
           more + "\r\n";
}

}  // namespace penwell::web::servertest
