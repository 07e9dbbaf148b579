// The server's life: it listens (refusing an address, origin or language it cannot use), runs
// its threads on one io_context, accepts connections, and stops: every page is told, what does
// not answer is cut off, and every pad and handler is let go before run() returns.

#include <boost/asio/signal_set.hpp>
#include <ctime>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>
#include <vector>

#include "penwell/host/web/HttpRoutes.h"
#include "penwell/host/web/PadSocket.h"
#include "penwell/host/web/PageTexts.h"
#include "penwell/host/web/TlsBridge.h"

namespace penwell::web {

std::string closeReason(std::string reason) {
    if (reason.size() > 123) {
        reason.resize(120);
        reason += "...";
    }
    return reason;
}

namespace {
std::atomic<LogFormat> logFormat{LogFormat::text};
}  // namespace

void setLogFormat(LogFormat format) {
    logFormat = format;
}

void serverLog(const std::string& line) {
    if (logFormat == LogFormat::text) {
        std::cerr << "penwell serve: " << line << std::endl;
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char seconds8601[32];
    std::strftime(seconds8601, sizeof seconds8601, "%Y-%m-%dT%H:%M:%S", &utc);
    const std::string digits = std::to_string(1000 + millis);  // "1007" for 7 ms
    const std::string stamp = seconds8601 + ("." + digits.substr(1)) + "Z";
    // dump() with replacement: a header quoted into a line may hold bytes that are not UTF-8.
    const nlohmann::json entry = {{"time", stamp}, {"level", "info"}, {"message", line}};
    std::cerr << entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

namespace {

/// An origin as a browser sends it: scheme://host[:port], no path, nothing a header could be
/// split or a policy widened with.
MaybeFailure checkOrigin(const std::string& origin, const char* example) {
    static const std::regex shape(
        R"(https?://[A-Za-z0-9.\-]+(:[0-9]{1,5})?|https?://\[[0-9A-Fa-f:.]+\](:[0-9]{1,5})?)");
    if (!std::regex_match(origin, shape)) {
        return Failure{kServerErrorDomain, 0,
                       printable(origin) + ": expected an origin like " + example};
    }
    return {};
}

}  // namespace

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

std::string hostPort(const std::string& host, std::uint16_t port) {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Server::Impl::Impl(ServerOptions o)
    : options(std::move(o)),
      acceptor(ioc),
      admission(options.maxSessions, options.sessionsPerAddress, kNewSessionBurst,
                kNewSessionsPerSecond) {
    options.pad.snapshotTurns = std::make_shared<SnapshotTurns>();
    if (options.service) {
        // Signing links go under the first public origin, else the address served.
        api = std::make_unique<api::Api>(options.service, [this] {
            return options.publicOrigins.empty()
                       ? scheme() + "://" + hostPort(options.bind, acceptor.local_endpoint().port())
                       : options.publicOrigins.front();
        });
        linkDocuments = std::make_shared<links::LinkDocuments>(
            options.pdfjs, options.pad.signer,
            links::LongTerm{options.tsa, options.http, options.longTermTrust});
        sampleCommitter = std::make_unique<service::SampleCommitter>(options.service);
    }
}

void Server::Impl::record(double seconds, std::size_t samples, std::uint64_t bytes) {
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

void Server::Impl::accept() {
    Strand strand = net::make_strand(net::any_io_executor(ioc.get_executor()));
    acceptor.async_accept(
        strand, [self = shared_from_this(), strand](beast::error_code ec, tcp::socket socket) {
            if (ec) {
                if (ec == net::error::operation_aborted || !self->acceptor.is_open()) {
                    return;
                }
            } else if (self->tls) {
                auto bridge = std::make_shared<TlsBridge>(std::move(socket), strand, self);
                {
                    std::lock_guard lock(self->connectionsMutex);
                    self->bridges.remove_if([](const auto& w) { return w.expired(); });
                    self->bridges.push_back(bridge);
                }
                bridge->start();
            } else {
                beast::error_code ec;
                net::ip::address peer = socket.remote_endpoint(ec).address();
                std::make_shared<HttpConnection>(std::move(socket), strand, self, std::move(peer))
                    ->read();
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
        {
            std::lock_guard lock(self->connectionsMutex);
            for (const auto& weak : self->connections) {
                if (auto session = weak.lock()) {
                    net::post(session->strand(), [session] {
                        session->fail("the server is stopping", websocket::close_code::going_away);
                    });
                }
            }
        }
        std::map<std::string, std::shared_ptr<Pad>> parkedPads = self->resumable.takeParked();
        for (auto& [token, pad] : parkedPads) {
            // Cancelled on its strand; the pad goes when its timer's handler lets go of it. (The
            // strand is taken first: the order in which a call's arguments are made is open.)
            const Strand strand = pad->strand;
            net::post(strand, [pad = std::move(pad)] { pad->grace.cancel(); });
        }
        if (self->admission.sessions() == 0) {
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
    if (s.options.brand) {
        Result<Brand> brand = loadBrand(*s.options.brand);
        if (!brand) {
            return brand.error();
        }
        s.pageScript += "window.penwellConfig.brand = " + brandJson(*brand) + ";\n";
        s.brand = std::move(*brand);
    }
    if (s.options.tlsCertificate.has_value() != s.options.tlsKey.has_value()) {
        return Failure{kServerErrorDomain, 0, "TLS needs both a certificate and its key"};
    }
    if (s.options.tlsCertificate) {
        auto tls = makeTlsContext(*s.options.tlsCertificate, *s.options.tlsKey);
        if (!tls) {
            return tls.error();
        }
        s.tls = std::move(*tls);
    }
    Result<TrustedProxies> proxies = TrustedProxies::parse(s.options.trustedProxies);
    if (!proxies) {
        return proxies.error();
    }
    s.trustedProxies = std::move(*proxies);
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
        s.allowedOrigins.insert(s.scheme() + "://" + hostPort(host, p));
    }
    for (const std::string& origin : s.options.publicOrigins) {
        if (MaybeFailure bad = checkOrigin(origin, "https://sign.example.com")) {
            return bad;
        }
        s.allowedOrigins.insert(origin);
        s.allowedHosts.insert(origin.substr(origin.find("://") + 3));
    }
    std::string ancestors;
    for (const std::string& origin : s.options.frameAncestors) {
        if (MaybeFailure bad = checkOrigin(origin, "https://portal.example.com")) {
            return bad;
        }
        ancestors += ' ' + origin;
    }
    s.contentSecurityPolicy =
        "default-src 'self'; connect-src 'self'; img-src 'self' blob: data:; frame-ancestors" +
        (ancestors.empty() ? std::string(" 'none'") : ancestors);
    // Caught from here on, not from run(): a supervisor that sends SIGTERM as soon as the
    // address is printed gets a clean stop, not a killed process. The handler does not own
    // the server, so a server that never runs is still freed.
    if (s.options.handleSignals) {
        s.signals.emplace(s.ioc, SIGINT, SIGTERM);
        s.signals->async_wait([weak = std::weak_ptr<Impl>(impl_)](beast::error_code ec, int) {
            if (auto impl = weak.lock(); impl && !ec) {
                impl->stop();
            }
        });
    }
    return {};
}

Server::~Server() = default;

std::uint16_t Server::port() const {
    return impl_->acceptor.local_endpoint().port();
}

std::string Server::url() const {
    return impl_->scheme() + "://" + hostPort(impl_->options.bind, port()) + "/";
}

void Server::run() {
    Impl& s = *impl_;
    s.accept();
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < std::max(1u, s.options.threads); ++i) {
        threads.emplace_back([&s] { s.ioc.run(); });
    }
    s.ioc.run();
    for (std::thread& t : threads) {
        t.join();
    }
    if (s.signals) {
        // Ctrl-C once serving is over is the default again: it ends the program.
        beast::error_code ignored;
        s.signals->clear(ignored);
        s.signals->cancel(ignored);
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
    std::vector<std::shared_ptr<PadSocket>> open;
    std::vector<std::shared_ptr<TlsBridge>> carried;
    {
        std::lock_guard lock(connectionsMutex);
        for (const auto& weak : bridges) {
            if (auto bridge = weak.lock()) {
                carried.push_back(std::move(bridge));
            }
        }
        bridges.clear();
        for (const auto& weak : connections) {
            if (auto session = weak.lock()) {
                open.push_back(std::move(session));
            }
        }
        connections.clear();
    }
    std::map<std::string, std::shared_ptr<Pad>> parkedPads = resumable.takeParked();
    for (const auto& session : open) {
        session->cutOff();
    }
    for (const auto& bridge : carried) {
        bridge->cutOff();
    }
    carried.clear();
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
