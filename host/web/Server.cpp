#include "host/web/Server.h"

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <iostream>
#include <list>
#include <mutex>
#include <set>
#include <thread>

#include "platform/asio/AsioRunLoop.h"
#include "tools/ToolError.h"
#include "host/web/WebAssets.h"

namespace penwell::web {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using asio::Strand;
using Clock = std::chrono::steady_clock;
using tools::ToolError;

namespace {

/// A page's request line and headers fit in this; the page sends no bodies.
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 1024;
/// Output a page has not read yet; past it the page is taken as gone.
constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
/// One patch per animation frame at most.
constexpr auto kFrame = std::chrono::milliseconds(16);
constexpr auto kHttpTimeout = std::chrono::seconds(30);

std::string_view view(beast::string_view s) {
    return {s.data(), s.size()};
}

/// A WebSocket close reason is at most 123 bytes.
std::string closeReason(std::string reason) {
    if (reason.size() > 123) {
        reason.resize(120);
        reason += "...";
    }
    return reason;
}

class WsSession;

}  // namespace

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    explicit Impl(ServerOptions o) : options(std::move(o)), acceptor(ioc) {}

    ServerOptions options;
    net::io_context ioc;
    tcp::acceptor acceptor;
    std::set<std::string> allowedHosts;
    std::set<std::string> allowedOrigins;
    std::atomic<std::size_t> sessions{0};
    std::atomic<bool> stopping{false};

    std::mutex registryMutex;
    std::list<std::weak_ptr<WsSession>> registry;

    std::mutex statsMutex;
    bool collecting = false;
    ServerStats stats;

    void accept();
    void stop();
    bool hostAllowed(std::string_view host) const {
        return allowedHosts.count(std::string(host)) > 0;
    }
    bool originAllowed(std::string_view origin) const {
        return allowedOrigins.count(std::string(origin)) > 0;
    }
    void record(double seconds, std::size_t samples, std::uint64_t bytes) {
        std::lock_guard lock(statsMutex);
        if (!collecting) {
            return;
        }
        stats.bytesSent += bytes;
        stats.samples += samples;
        if (samples > 0) {
            stats.secondsPerSample.emplace_back(seconds / static_cast<double>(samples), samples);
        }
    }
};

namespace {

// ---- WebSocket session -------------------------------------------------------------------

class WsSession final : public std::enable_shared_from_this<WsSession>, public Sink {
public:
    WsSession(tcp::socket socket, Strand strand, std::shared_ptr<Server::Impl> server)
        : ws_(std::move(socket)),
          strand_(strand),
          server_(std::move(server)),
          loop_(std::make_shared<asio::AsioRunLoop>(strand)),
          flushTimer_(strand),
          idleTimer_(strand) {}

    ~WsSession() override {
        core_.reset();  // the controller goes before the loop its work was scheduled on
        --server_->sessions;
    }

    void start(http::request<http::string_body> request) {
        ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(30),
                                                       websocket::stream_base::none(), false});
        ws_.read_message_max(server_->options.pad.limits.messageBytes);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& r) { r.set(http::field::server, "penwell"); }));
        ws_.async_accept(request,
                         [self = shared_from_this()](beast::error_code ec) { self->accepted(ec); });
    }

    /// Closes the session with a reason the page shows; the server and other sessions go on.
    void fail(const std::string& reason,
              websocket::close_code code = websocket::close_code::policy_error) {
        if (closing_) {
            return;
        }
        closing_ = true;
        flushTimer_.cancel();
        idleTimer_.cancel();
        if (code != websocket::close_code::going_away) {
            std::cerr << "penwell serve: closed a session: " << reason << std::endl;
        }
        ws_.async_close(websocket::close_reason(code, closeReason(reason)),
                        [self = shared_from_this()](beast::error_code) {});
    }

    const Strand& strand() const { return strand_; }

    void sendText(std::string text) override { enqueue(std::move(text), false); }
    void sendBinary(std::string bytes) override { enqueue(std::move(bytes), true); }

private:
    void accepted(beast::error_code ec) {
        if (ec) {
            return;
        }
        try {
            core_ = std::make_unique<SigningSession>(server_->options.pad, loop_, *this);
        } catch (const std::exception& e) {
            fail(std::string("the pad cannot be made: ") + e.what(),
                 websocket::close_code::internal_error);
            return;
        }
        loop_->setAfterWork([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->scheduleFlush();
            }
        });
        sendText(core_->hello());
        lastActivity_ = Clock::now();
        armIdle();
        read();
    }

    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            self->received(ec);
        });
    }

    void received(beast::error_code ec) {
        if (ec) {
            if (ec == websocket::error::message_too_big) {
                std::cerr << "penwell serve: closed a session: a message of more than "
                          << server_->options.pad.limits.messageBytes << " bytes" << std::endl;
            }
            closing_ = true;
            flushTimer_.cancel();
            idleTimer_.cancel();
            return;
        }
        if (closing_) {
            return;
        }
        if (!ws_.got_text()) {
            fail("binary messages are not accepted");
            return;
        }
        const std::string text = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        lastActivity_ = Clock::now();
        try {
            core_->receive(text);
        } catch (const ProtocolError& e) {
            fail(e.what());
            return;
        } catch (const std::exception& e) {
            fail(std::string("the server failed: ") + e.what(),
                 websocket::close_code::internal_error);
            return;
        }
        scheduleFlush();
        read();
    }

    void scheduleFlush() {
        if (flushScheduled_ || closing_ || !core_) {
            return;
        }
        flushScheduled_ = true;
        flushTimer_.expires_at(std::max(Clock::now(), lastFlush_ + kFrame));
        flushTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            self->flushScheduled_ = false;
            if (ec || self->closing_) {
                return;
            }
            self->lastFlush_ = Clock::now();
            const std::uint64_t before = self->bytesQueued_;
            self->core_->flush();
            const auto [seconds, samples] = self->core_->takeWork();
            self->server_->record(seconds, samples, self->bytesQueued_ - before);
        });
    }

    void armIdle() {
        const auto limit = server_->options.idleTimeout;
        idleTimer_.expires_at(lastActivity_ + limit);
        idleTimer_.async_wait([self = shared_from_this(), limit](beast::error_code ec) {
            if (ec || self->closing_) {
                return;
            }
            if (Clock::now() >= self->lastActivity_ + limit) {
                self->fail("idle for " + std::to_string(limit.count()) + " seconds",
                           websocket::close_code::going_away);
            } else {
                self->armIdle();
            }
        });
    }

    void enqueue(std::string data, bool binary) {
        if (closing_) {
            return;
        }
        queued_ += data.size();
        bytesQueued_ += data.size();
        if (queued_ > kMaxQueuedBytes) {
            fail("the page does not read what it is sent");
            return;
        }
        queue_.push_back({std::move(data), binary});
        if (!writing_) {
            write();
        }
    }

    void write() {
        writing_ = true;
        ws_.binary(queue_.front().binary);
        ws_.async_write(
            net::buffer(queue_.front().data),
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->written(ec); });
    }

    void written(beast::error_code ec) {
        queued_ -= queue_.front().data.size();
        queue_.pop_front();
        writing_ = false;
        if (ec) {
            closing_ = true;
            return;
        }
        if (!queue_.empty() && !closing_) {
            write();
        }
    }

    struct Outgoing {
        std::string data;
        bool binary = false;
    };

    websocket::stream<beast::tcp_stream> ws_;
    Strand strand_;
    std::shared_ptr<Server::Impl> server_;
    std::shared_ptr<asio::AsioRunLoop> loop_;
    std::unique_ptr<SigningSession> core_;
    beast::flat_buffer buffer_;
    net::steady_timer flushTimer_;
    net::steady_timer idleTimer_;
    Clock::time_point lastFlush_{};
    Clock::time_point lastActivity_{};
    std::deque<Outgoing> queue_;
    std::size_t queued_ = 0;
    std::uint64_t bytesQueued_ = 0;
    bool writing_ = false;
    bool closing_ = false;
    bool flushScheduled_ = false;
};

// ---- HTTP connection ---------------------------------------------------------------------

class HttpConnection final : public std::enable_shared_from_this<HttpConnection> {
public:
    HttpConnection(tcp::socket socket, Strand strand, std::shared_ptr<Server::Impl> server)
        : stream_(std::move(socket)), strand_(std::move(strand)), server_(std::move(server)) {}

    void read() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(kHttpTimeout);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->received(ec); });
    }

private:
    void received(beast::error_code ec) {
        if (ec) {
            if (ec != http::error::end_of_stream && ec != beast::error::timeout &&
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
            respond(http::status::forbidden, "text/plain", "host not allowed\n", false);
            return;
        }
        std::string_view target = view(request.target());
        target = target.substr(0, target.find('?'));
        if (websocket::is_upgrade(request)) {
            upgrade(std::move(request), target);
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            respond(http::status::method_not_allowed, "text/plain", "GET only\n",
                    request.keep_alive());
            return;
        }
        for (const WebAsset& asset : webAssets()) {
            if (asset.path == target) {
                respond(http::status::ok, asset.contentType,
                        request.method() == http::verb::head ? std::string_view() : asset.body,
                        request.keep_alive());
                return;
            }
        }
        respond(http::status::not_found, "text/plain", "not found\n", request.keep_alive());
    }

    void upgrade(http::request<http::string_body> request, std::string_view target) {
        if (target != "/ws") {
            respond(http::status::not_found, "text/plain", "not found\n", false);
            return;
        }
        if (!server_->originAllowed(view(request[http::field::origin]))) {
            // Another site's page in the signer's browser must not drive the pad.
            respond(http::status::forbidden, "text/plain", "origin not allowed\n", false);
            return;
        }
        if (server_->stopping) {
            respond(http::status::service_unavailable, "text/plain", "stopping\n", false);
            return;
        }
        if (++server_->sessions > server_->options.maxSessions) {
            --server_->sessions;
            respond(http::status::service_unavailable, "text/plain",
                    "too many signers at once; try again later\n", false);
            return;
        }
        auto session = std::make_shared<WsSession>(stream_.release_socket(), strand_, server_);
        {
            std::lock_guard lock(server_->registryMutex);
            server_->registry.remove_if([](const auto& w) { return w.expired(); });
            server_->registry.push_back(session);
        }
        session->start(std::move(request));
    }

    void respond(http::status status, std::string_view type, std::string_view body,
                 bool keepAlive) {
        auto response = std::make_shared<http::response<http::string_body>>(status, 11);
        response->set(http::field::server, "penwell");
        response->set(http::field::content_type, beast::string_view(type.data(), type.size()));
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        response->set("X-Frame-Options", "DENY");
        response->set("Content-Security-Policy",
                      "default-src 'self'; connect-src 'self'; img-src 'self' blob: data:; "
                      "frame-ancestors 'none'");
        // Cross-origin isolation: the page's event times then have microsecond resolution.
        response->set("Cross-Origin-Opener-Policy", "same-origin");
        response->set("Cross-Origin-Embedder-Policy", "require-corp");
        response->set("Cross-Origin-Resource-Policy", "same-origin");
        response->body() = std::string(body);
        response->keep_alive(keepAlive);
        response->prepare_payload();
        http::async_write(stream_, *response,
                          [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
                              if (!ec && response->keep_alive()) {
                                  self->read();
                              } else {
                                  beast::error_code ignored;
                                  self->stream_.socket().shutdown(tcp::socket::shutdown_send,
                                                                  ignored);
                              }
                          });
    }

    beast::tcp_stream stream_;
    Strand strand_;
    std::shared_ptr<Server::Impl> server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

std::string hostPort(const std::string& host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

void Server::Impl::accept() {
    Strand strand = net::make_strand(net::any_io_executor(ioc.get_executor()));
    acceptor.async_accept(
        strand, [self = shared_from_this(), strand](beast::error_code ec, tcp::socket socket) {
            if (ec) {
                if (ec == net::error::operation_aborted || !self->acceptor.is_open()) {
                    return;
                }
            } else {
                std::make_shared<HttpConnection>(std::move(socket), strand, self)->read();
            }
            self->accept();
        });
}

void Server::Impl::stop() {
    if (stopping.exchange(true)) {
        return;
    }
    net::post(ioc, [self = shared_from_this()] {
        beast::error_code ignored;
        self->acceptor.close(ignored);
        std::lock_guard lock(self->registryMutex);
        for (const auto& weak : self->registry) {
            if (auto session = weak.lock()) {
                net::post(session->strand(), [session] {
                    session->fail("the server is stopping", websocket::close_code::going_away);
                });
            }
        }
        // Whatever has not finished closing by then (a page that never answers the close, an
        // idle HTTP connection) is cut off.
        auto deadline = std::make_shared<net::steady_timer>(self->ioc, std::chrono::seconds(2));
        deadline->async_wait([self, deadline](beast::error_code) { self->ioc.stop(); });
    });
}

Server::Server(ServerOptions options) : impl_(std::make_shared<Impl>(std::move(options))) {
    Impl& s = *impl_;
    beast::error_code ec;
    const auto address = net::ip::make_address(s.options.bind, ec);
    if (ec) {
        throw ToolError(s.options.bind + ": not an IP address");
    }
    const tcp::endpoint endpoint(address, s.options.port);
    s.acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        s.acceptor.set_option(net::socket_base::reuse_address(true), ec);
    }
    if (!ec) {
        s.acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        s.acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        throw ToolError(hostPort(s.options.bind, s.options.port) +
                        ": cannot listen: " + ec.message());
    }
    const std::uint16_t p = port();
    for (const std::string& host :
         {std::string("localhost"), std::string("127.0.0.1"), std::string("::1"), s.options.bind}) {
        s.allowedHosts.insert(hostPort(host, p));
        s.allowedOrigins.insert("http://" + hostPort(host, p));
    }
    for (const std::string& origin : s.options.publicOrigins) {
        const auto scheme = origin.find("://");
        if (scheme == std::string::npos || origin.back() == '/') {
            throw ToolError(origin + ": expected an origin like https://sign.example.com");
        }
        s.allowedOrigins.insert(origin);
        s.allowedHosts.insert(origin.substr(scheme + 3));
    }
}

Server::~Server() = default;

std::uint16_t Server::port() const {
    return impl_->acceptor.local_endpoint().port();
}

std::string Server::url() const {
    return "http://" + hostPort(impl_->options.bind, port()) + "/";
}

void Server::run() {
    Impl& s = *impl_;
    std::optional<net::signal_set> signals;
    if (s.options.handleSignals) {
        signals.emplace(s.ioc, SIGINT, SIGTERM);
        signals->async_wait([impl = impl_](beast::error_code ec, int) {
            if (!ec) {
                impl->stop();
            }
        });
    }
    s.accept();
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < std::max(1u, s.options.threads); ++i) {
        threads.emplace_back([&s] { s.ioc.run(); });
    }
    s.ioc.run();
    for (std::thread& t : threads) {
        t.join();
    }
}

void Server::stop() {
    impl_->stop();
}

void Server::collectStats() {
    std::lock_guard lock(impl_->statsMutex);
    impl_->collecting = true;
}

ServerStats Server::takeStats() {
    std::lock_guard lock(impl_->statsMutex);
    return std::exchange(impl_->stats, {});
}

}  // namespace penwell::web
