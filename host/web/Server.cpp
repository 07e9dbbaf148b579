#include "host/web/Server.h"

#include <openssl/rand.h>

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
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "host/web/PageTexts.h"
#include "host/web/WebAssets.h"
#include "platform/asio/AsioRunLoop.h"

namespace penwell::web {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using asio::Strand;
using Clock = std::chrono::steady_clock;

namespace {

/// A page's request line and headers fit in this; the page sends no bodies.
constexpr std::uint32_t kHeaderLimit = 8 * 1024;
constexpr std::uint64_t kBodyLimit = 1024;
/// Output a page has not read yet; past it the page is taken as gone.
constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
/// One patch per animation frame at most.
constexpr auto kFrame = std::chrono::milliseconds(16);
/// A session's patches take at most this share of a thread: after a costly flush (a whole pad
/// painted again at a dense screen's scale) the next one waits, so that one session's pictures
/// do not hold up everyone's ink.
constexpr double kFlushShare = 0.25;
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
class Pad;

const auto kIdleClose = static_cast<websocket::close_code>(kIdleCloseCode);

void log(const std::string& line) {
    std::cerr << "penwell serve: " << line << std::endl;
}

/// An unguessable token: 128 bits from the operating system's generator.
std::string randomToken() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        throw std::runtime_error("no random bytes for a resume token");
    }
    std::string out;
    for (const unsigned char b : bytes) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 15];
    }
    return out;
}

/// A header value fit for one log line: control characters shown as '?', at most 80 bytes.
std::string printable(std::string text) {
    if (text.size() > 80) {
        text.resize(80);
    }
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = '?';
        }
    }
    return text;
}

}  // namespace

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    explicit Impl(ServerOptions o) : options(std::move(o)), acceptor(ioc) {
        options.pad.snapshotTurns = std::make_shared<SnapshotTurns>();
    }

    ServerOptions options;
    net::io_context ioc;
    tcp::acceptor acceptor;
    std::set<std::string> allowedHosts;
    std::set<std::string> allowedOrigins;
    std::atomic<std::size_t> sessions{0};
    std::atomic<bool> stopping{false};

    /// /config.js: the page's texts and settings.
    std::string pageScript;

    std::mutex registryMutex;
    std::list<std::weak_ptr<WsSession>> registry;
    /// What each limited address holds and may still open (under registryMutex).
    struct AddressUse {
        std::size_t sessions = 0;
        double allowance = kNewSessionBurst;
        Clock::time_point counted = Clock::now();
    };
    std::map<std::string, AddressUse> addresses;
    /// Every pad by resume token, and those whose page dropped, kept until their grace runs out.
    std::map<std::string, std::weak_ptr<Pad>> pads;
    std::map<std::string, std::shared_ptr<Pad>> parked;

    std::mutex statsMutex;
    bool collecting = false;
    ServerStats stats;

    void accept();
    void stop();
    /// After run(): lets go of whatever the stop left.
    void drain();
    bool draining = false;  // no thread runs the io_context but drain()'s
    net::steady_timer deadline{ioc};  // for the pages to answer the stop's close
    /// How long a pad whose page dropped waits for it to come back.
    std::chrono::seconds resumeGrace() const { return std::min(options.idleTimeout, kResumeGrace); }
    /// A pad is gone: when the server is stopping and it was the last, nothing is left to wait for.
    void padGone(const std::string& address) {
        if (!address.empty()) {
            std::lock_guard lock(registryMutex);
            if (const auto it = addresses.find(address); it != addresses.end()) {
                --it->second.sessions;
            }
        }
        if (--sessions == 0 && stopping && !draining) {
            ioc.stop();
        }
    }
    /// Takes a place for a new pad for `address` ("" when it is not limited by address), or
    /// answers why there is none.
    std::optional<std::string> admit(const std::string& address) {
        std::lock_guard lock(registryMutex);
        const Clock::time_point now = Clock::now();
        const auto refill = [now](AddressUse& use) {
            const double seconds = std::chrono::duration<double>(now - use.counted).count();
            use.allowance = std::min(kNewSessionBurst, use.allowance + seconds * kNewSessionsPerSecond);
            use.counted = now;
        };
        // Addresses that hold nothing and may open a full burst again need no entry.
        for (auto it = addresses.begin(); it != addresses.end();) {
            refill(it->second);
            const bool idle = it->second.sessions == 0 && it->second.allowance >= kNewSessionBurst;
            it = idle ? addresses.erase(it) : std::next(it);
        }
        if (sessions >= options.maxSessions) {
            return std::to_string(options.maxSessions) + " signers at once already";
        }
        if (!address.empty()) {
            AddressUse& use = addresses[address];
            if (use.sessions >= options.sessionsPerAddress) {
                return std::to_string(options.sessionsPerAddress) +
                       " signers from one address already";
            }
            if (use.allowance < 1.0) {
                return "new sessions from one address too fast";
            }
            use.allowance -= 1.0;
            ++use.sessions;
        }
        ++sessions;
        return std::nullopt;
    }
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

// ---- A signer's pad and its WebSocket -----------------------------------------------------

/// One signer's pad: the controller on its run loop and strand, and the connection that
/// currently shows it. It outlives a connection that drops, for resumeGrace(), so that a
/// network blip does not cost the signature.
class Pad final : public Sink, public std::enable_shared_from_this<Pad> {
public:
    Pad(Strand s, std::shared_ptr<Server::Impl> server, std::string from)
        : strand(s),
          loop(std::make_shared<asio::AsioRunLoop>(s)),
          grace(s),
          address(std::move(from)),
          server_(std::move(server)) {}
    ~Pad() override {
        core.reset();  // the controller goes before the loop its work was scheduled on
        server_->padGone(address);
    }

    void sendText(std::string text) override;
    void sendBinary(std::string bytes) override;
    void log(const std::string& line) override { web::log("session " + id() + ": " + line); }
    void refuse(const std::string& reason) override;

    std::size_t held() const { return core ? core->heldSamples() : 0; }
    std::string id() const { return token.substr(0, 8); }

    Strand strand;
    std::shared_ptr<asio::AsioRunLoop> loop;
    std::unique_ptr<SigningSession> core;
    std::string token;
    WsSession* connection = nullptr;  // on the strand; cleared by the connection as it goes
    net::steady_timer grace;
    const std::string address;  // the signer's, as the per-address limits count it

private:
    std::shared_ptr<Server::Impl> server_;
};

class WsSession final : public std::enable_shared_from_this<WsSession> {
public:
    WsSession(tcp::socket socket, std::shared_ptr<Pad> pad, std::shared_ptr<Server::Impl> server)
        : ws_(std::move(socket)),
          pad_(std::move(pad)),
          server_(std::move(server)),
          flushTimer_(pad_->strand),
          idleTimer_(pad_->strand) {}

    ~WsSession() {
        if (pad_->connection == this) {
            pad_->connection = nullptr;
        }
    }

    void start(http::request<http::string_body> request) {
        // A flush writes a patch and then the small state message right behind it: without
        // this the state waits for the patch's acknowledgement (Nagle's algorithm), and the
        // page learns late that its ink is the server's.
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
        ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(30),
                                                       websocket::stream_base::none(), false});
        ws_.read_message_max(server_->options.pad.limits.messageBytes);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& r) { r.set(http::field::server, "penwell"); }));
        ws_.async_accept(request,
                         [self = shared_from_this()](beast::error_code ec) { self->accepted(ec); });
    }

    /// Closes the session with a reason the page shows and the log keeps; the server and
    /// other sessions go on. The pad goes with it.
    void fail(const std::string& reason,
              websocket::close_code code = websocket::close_code::policy_error) {
        if (closing_) {
            return;
        }
        closing_ = true;
        flushTimer_.cancel();
        idleTimer_.cancel();
        pad_->log("closed: " + reason + " (" + std::to_string(pad_->held()) + " samples held)");
        ws_.async_close(websocket::close_reason(code, closeReason(reason)),
                        [self = shared_from_this()](beast::error_code) {});
    }

    const Strand& strand() const { return pad_->strand; }

    /// Cut off without a close: the page came back on another connection before this one
    /// noticed it was gone, or the server has stopped and lets go of what is left.
    void cutOff() {
        closing_ = true;
        flushTimer_.cancel();
        idleTimer_.cancel();
        beast::get_lowest_layer(ws_).close();
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

    void scheduleFlush() {
        if (flushScheduled_ || closing_ || !pad_->core) {
            return;
        }
        flushScheduled_ = true;
        flushTimer_.expires_at(std::max(Clock::now(), lastFlush_ + flushGap_));
        flushTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            self->flushScheduled_ = false;
            if (ec || self->closing_) {
                return;
            }
            self->lastFlush_ = Clock::now();
            const std::uint64_t before = self->bytesQueued_;
            self->pad_->core->flush();
            const auto cost = Clock::now() - self->lastFlush_;
            self->flushGap_ = std::max<Clock::duration>(
                kFrame, std::chrono::duration_cast<Clock::duration>(cost / kFlushShare));
            const auto [seconds, samples] = self->pad_->core->takeWork();
            self->server_->record(seconds, samples, self->bytesQueued_ - before);
        });
    }

private:
    void accepted(beast::error_code ec) {
        if (ec) {
            return;
        }
        Pad& pad = *pad_;
        const bool resumed = pad.core != nullptr;
        if (resumed) {
            pad.grace.cancel();
            pad.core->resync();
            pad.log("the page came back (" + std::to_string(pad.held()) + " samples held)");
        } else {
            try {
                pad.token = randomToken();
                pad.core = std::make_unique<SigningSession>(server_->options.pad, pad.loop, pad);
                std::lock_guard lock(server_->registryMutex);
                std::erase_if(server_->pads, [](const auto& p) { return p.second.expired(); });
                server_->pads[pad.token] = pad_;
            } catch (const std::exception& e) {
                fail(std::string("the pad cannot be made: ") + e.what(),
                     websocket::close_code::internal_error);
                return;
            }
            pad.loop->setAfterWork([weak = std::weak_ptr<Pad>(pad_)] {
                if (auto p = weak.lock(); p && p->connection) {
                    p->connection->scheduleFlush();
                }
            });
        }
        if (pad.connection != nullptr && pad.connection != this) {
            pad.connection->cutOff();
        }
        pad.connection = this;
        enqueue(pad.core->hello(pad.token, resumed), false);
        scheduleFlush();
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
            const bool wasClosing = std::exchange(closing_, true);
            flushTimer_.cancel();
            idleTimer_.cancel();
            if (wasClosing) {
                return;  // our own close, logged when it began
            }
            if (ec == websocket::error::message_too_big) {
                pad_->log("closed: a message of more than " +
                          std::to_string(server_->options.pad.limits.messageBytes) + " bytes (" +
                          std::to_string(pad_->held()) + " samples held)");
            } else if (ec == websocket::error::closed) {
                pad_->log("closed by the page (" + std::to_string(pad_->held()) + " samples held)");
            } else {
                park(ec);
            }
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
            pad_->core->receive(text);
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

    /// The connection dropped without a close: keep the pad for the page to come back to,
    /// unless it holds nothing (a page that comes back then starts on a fresh pad, which is
    /// the same): a socket opened and dropped must not hold a signer's place for the grace.
    void park(beast::error_code ec) {
        if (server_->stopping || !pad_->core) {
            return;
        }
        if (pad_->held() == 0) {
            pad_->log("the connection dropped (" + ec.message() +
                      "); nothing on the pad, so it is not kept");
            return;
        }
        const auto grace = server_->resumeGrace();
        pad_->log("the connection dropped (" + ec.message() + "); the pad waits " +
                  std::to_string(grace.count()) + " s for the page (" +
                  std::to_string(pad_->held()) + " samples held)");
        {
            std::lock_guard lock(server_->registryMutex);
            server_->parked[pad_->token] = pad_;
        }
        pad_->grace.expires_after(grace);
        pad_->grace.async_wait(
            [pad = std::weak_ptr<Pad>(pad_), server = server_, grace](beast::error_code waited) {
                auto p = pad.lock();
                if (waited || !p) {
                    return;
                }
                std::lock_guard lock(server->registryMutex);
                if (server->parked.erase(p->token) > 0) {
                    p->log("closed: the page did not come back within " +
                           std::to_string(grace.count()) + " s (" + std::to_string(p->held()) +
                           " samples discarded)");
                }
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
                self->fail("idle for " + std::to_string(limit.count()) + " seconds", kIdleClose);
            } else {
                self->armIdle();
            }
        });
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
            return;  // the read fails too, and decides what becomes of the pad
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
    std::shared_ptr<Pad> pad_;
    std::shared_ptr<Server::Impl> server_;
    beast::flat_buffer buffer_;
    net::steady_timer flushTimer_;
    net::steady_timer idleTimer_;
    Clock::time_point lastFlush_{};
    Clock::duration flushGap_ = kFrame;
    Clock::time_point lastActivity_{};
    std::deque<Outgoing> queue_;
    std::size_t queued_ = 0;
    std::uint64_t bytesQueued_ = 0;
    bool writing_ = false;
    bool closing_ = false;
    bool flushScheduled_ = false;
};

void Pad::sendText(std::string text) {
    if (connection != nullptr) {
        connection->enqueue(std::move(text), false);
    }
}

void Pad::sendBinary(std::string bytes) {
    if (connection != nullptr) {
        connection->enqueue(std::move(bytes), true);
    }
}

void Pad::refuse(const std::string& reason) {
    if (connection != nullptr) {
        connection->fail(reason);
    }
}

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
            log("refused a request for host \"" + printable(host) + "\"");
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
            log("refused a request from origin \"" + printable(std::string(origin)) + "\"");
            respond(http::status::forbidden, "text/plain", "origin not allowed\n", false);
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            respond(http::status::method_not_allowed, "text/plain", "GET only\n",
                    request.keep_alive());
            return;
        }
        // Only these exact paths are answered, from memory: no request reaches the file system.
        const std::shared_ptr<const SignableDocument>& document = server_->options.pad.document;
        const WebAsset config{"/config.js", "text/javascript; charset=utf-8",
                              server_->pageScript};
        for (const auto& assets : {webAssets(), std::span<const WebAsset>(&config, 1),
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

    void upgrade(http::request<http::string_body> request, std::string_view target,
                 std::string_view query) {
        if (target != "/ws") {
            respond(http::status::not_found, "text/plain", "not found\n", false);
            return;
        }
        if (!server_->originAllowed(view(request[http::field::origin]))) {
            // Another site's page in the signer's browser must not drive the pad.
            log("refused a WebSocket from origin \"" +
                printable(std::string(view(request[http::field::origin]))) + "\"");
            respond(http::status::forbidden, "text/plain", "origin not allowed\n", false);
            return;
        }
        if (server_->stopping) {
            respond(http::status::service_unavailable, "text/plain", "stopping\n", false);
            return;
        }
        // A page that dropped off the network comes back to its pad with the token it was given.
        std::shared_ptr<Pad> pad;
        if (query.substr(0, 7) == "resume=") {
            // Its old connection may not have noticed the drop yet: the pad is taken over.
            const std::string token(query.substr(7));
            std::lock_guard lock(server_->registryMutex);
            if (const auto it = server_->pads.find(token); it != server_->pads.end()) {
                pad = it->second.lock();
            }
            server_->parked.erase(token);
        }
        if (!pad) {
            const std::string address = clientAddress(request);
            if (const auto refused = server_->admit(address)) {
                log("refused a signer" + (address.empty() ? "" : " from " + printable(address)) +
                    ": " + *refused);
                tryAgainLater(std::move(request), "busy: " + *refused);
                return;
            }
            pad = std::make_shared<Pad>(net::make_strand(server_->ioc.get_executor()), server_,
                                        address);
        }
        // The connection runs on its pad's strand, where the controller lives.
        tcp::socket accepted = stream_.release_socket();
        const auto protocol = accepted.local_endpoint().protocol();
        tcp::socket socket(pad->strand);
        socket.assign(protocol, accepted.release());
        auto session = std::make_shared<WsSession>(std::move(socket), pad, server_);
        {
            std::lock_guard lock(server_->registryMutex);
            server_->registry.remove_if([](const auto& w) { return w.expired(); });
            server_->registry.push_back(session);
        }
        net::post(pad->strand, [session, request = std::move(request)]() mutable {
            session->start(std::move(request));
        });
    }

    /// Whom the per-address limits count a new session against: see
    /// ServerOptions::sessionsPerAddress. Empty: no one's.
    std::string clientAddress(const http::request<http::string_body>& request) {
        beast::error_code ec;
        const auto peer = stream_.socket().remote_endpoint(ec).address();
        if (ec) {
            return {};
        }
        if (!peer.is_loopback()) {
            return peer.to_string();
        }
        const std::string_view forwarded = view(request["X-Forwarded-For"]);
        if (server_->options.publicOrigins.empty() || forwarded.empty()) {
            return {};
        }
        // The proxy appends the address it took the connection from: the last one. Those
        // before it are the client's to write.
        std::string_view last = forwarded.substr(forwarded.rfind(',') + 1);
        while (!last.empty() && last.front() == ' ') {
            last.remove_prefix(1);
        }
        while (!last.empty() && last.back() == ' ') {
            last.remove_suffix(1);
        }
        const auto client = net::ip::make_address(std::string(last), ec);
        return ec ? "?" : client.to_string();  // a proxy's garbage counts as one address
    }

    /// Completes the WebSocket handshake and closes at once with 1013: a browser's page is
    /// told nothing of an HTTP refusal, but it sees this code and tries again by itself.
    void tryAgainLater(http::request<http::string_body> request, const std::string& reason) {
        auto ws = std::make_shared<websocket::stream<beast::tcp_stream>>(std::move(stream_));
        beast::get_lowest_layer(*ws).expires_never();
        ws->set_option(websocket::stream_base::timeout{std::chrono::seconds(5),
                                                       websocket::stream_base::none(), false});
        ws->set_option(websocket::stream_base::decorator(
            [](websocket::response_type& r) { r.set(http::field::server, "penwell"); }));
        ws->async_accept(request, [ws, reason](beast::error_code ec) {
            if (ec) {
                return;
            }
            ws->async_close(
                websocket::close_reason(websocket::close_code::try_again_later, closeReason(reason)),
                [ws](beast::error_code) {});
        });
    }

    /// `body` must outlive the write: a literal, an embedded file, or the document's (which
    /// the server keeps), so a large document is not copied for every request.
    void respond(http::status status, std::string_view type, std::string_view body,
                 bool keepAlive) {
        auto response = std::make_shared<http::response<http::span_body<const char>>>(status, 11);
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
        response->body() = {body.data(), body.size()};
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
        if (self->draining) {
            return;  // the last pad went first and stopped the server: drain() does the rest
        }
        beast::error_code ignored;
        self->acceptor.close(ignored);
        std::map<std::string, std::shared_ptr<Pad>> parkedPads;
        {
            std::lock_guard lock(self->registryMutex);
            for (const auto& weak : self->registry) {
                if (auto session = weak.lock()) {
                    net::post(session->strand(), [session] {
                        session->fail("the server is stopping", websocket::close_code::going_away);
                    });
                }
            }
            parkedPads.swap(self->parked);
        }
        for (auto& [token, pad] : parkedPads) {
            // Cancelled on its strand; the pad goes when its timer's handler lets go of it. (The
            // strand is taken first: the order in which a call's arguments are made is open.)
            const Strand strand = pad->strand;
            net::post(strand, [pad = std::move(pad)] { pad->grace.cancel(); });
        }
        if (self->sessions == 0) {
            self->ioc.stop();  // no page to say goodbye to
            return;
        }
        // Whatever has not finished closing by then (a page that never answers the close) is
        // cut off; the last pad to go stops the server sooner.
        self->deadline.expires_after(std::chrono::seconds(2));
        self->deadline.async_wait([self](beast::error_code ec) {
            if (!ec) {
                self->ioc.stop();
            }
        });
    });
}

Result<std::unique_ptr<Server>> Server::listen(ServerOptions options) {
    std::unique_ptr<Server> server(new Server(std::move(options)));
    if (MaybeFailure failed = server->start()) {
        return *failed;
    }
    return server;
}

Server::Server(ServerOptions options) : impl_(std::make_shared<Impl>(std::move(options))) {}

MaybeFailure Server::start() {
    Impl& s = *impl_;
    Result<std::string> script = pageScript(
        {s.options.lang, s.options.pad.operatorControls, s.options.pad.document != nullptr});
    if (!script) {
        return script.error();
    }
    s.pageScript = std::move(*script);
    beast::error_code ec;
    const auto address = net::ip::make_address(s.options.bind, ec);
    if (ec) {
        return Failure{kServerErrorDomain, ec.value(), s.options.bind + ": not an IP address"};
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
        return Failure{
            kServerErrorDomain, ec.value(),
            hostPort(s.options.bind, s.options.port) + ": cannot listen: " + ec.message()};
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
            return Failure{kServerErrorDomain, 0,
                           origin + ": expected an origin like https://sign.example.com"};
        }
        s.allowedOrigins.insert(origin);
        s.allowedHosts.insert(origin.substr(scheme + 3));
    }
    return {};
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
    if (signals) {
        signals->cancel();
    }
    s.drain();
}

void Server::Impl::drain() {
    // Pending handlers hold the sessions, and the sessions this server: without this a server
    // stopped with a page that never answered its close, or a pad still waiting for its page,
    // would never be freed. Every socket and timer is cut, and the handlers run out.
    draining = true;
    beast::error_code ignored;
    acceptor.close(ignored);
    std::vector<std::shared_ptr<WsSession>> open;
    std::map<std::string, std::shared_ptr<Pad>> parkedPads;
    {
        std::lock_guard lock(registryMutex);
        for (const auto& weak : registry) {
            if (auto session = weak.lock()) {
                open.push_back(std::move(session));
            }
        }
        registry.clear();
        parkedPads.swap(parked);
    }
    for (const auto& session : open) {
        session->cutOff();
    }
    for (const auto& [token, pad] : parkedPads) {
        pad->grace.cancel();
    }
    deadline.cancel();
    open.clear();
    parkedPads.clear();
    // Nothing stops the io_context now: it returns as soon as the handlers have run out.
    ioc.restart();
    ioc.run_for(std::chrono::seconds(2));
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
