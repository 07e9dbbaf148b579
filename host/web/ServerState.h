#pragma once
// Inside the server (not installed): what its connections share, and the few helpers they all
// use. The server's work is split by job: ServerLifecycle.cpp listens, runs and stops,
// HttpRoutes.cpp answers requests, PadUpgrade.cpp turns one into a signer's pad, PadSocket.cpp
// carries a pad's messages, SessionAdmission and ResumeRegistry keep count of pads.

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "penwell/host/web/Brand.h"
#include "penwell/host/web/ResumeRegistry.h"
#include "penwell/host/web/Server.h"
#include "penwell/host/web/SessionAdmission.h"
#include "penwell/host/web/TrustedProxies.h"
#include "penwell/host/web/api/Api.h"
#include "penwell/host/web/links/LinkDocuments.h"
#include "penwell/platform/asio/AsioRunLoop.h"
#include "penwell/service/SampleCommitter.h"

namespace penwell::web {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using asio::Strand;
using Clock = std::chrono::steady_clock;

class PadSocket;
class TlsBridge;

inline std::string_view view(beast::string_view s) {
    return {s.data(), s.size()};
}

/// A WebSocket close reason is at most 123 bytes.
std::string closeReason(std::string reason);

/// A header value fit for one log line: control characters shown as '?', at most 80 bytes.
std::string printable(std::string text);

/// "host:port", the host in brackets when it is an IPv6 address.
std::string hostPort(const std::string& host, std::uint16_t port);

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    explicit Impl(ServerOptions o);

    ServerOptions options;
    net::io_context ioc;
    tcp::acceptor acceptor;
    std::set<std::string> allowedHosts;
    std::set<std::string> allowedOrigins;
    TrustedProxies trustedProxies;
    /// With --tls-cert and --tls-key: every connection is TLS, ended by a TlsBridge.
    std::shared_ptr<net::ssl::context> tls;
    /// "https" with TLS, else "http": the scheme of the page's own addresses.
    std::string scheme() const { return tls ? "https" : "http"; }
    std::atomic<bool> stopping{false};
    /// SIGINT and SIGTERM, caught from the moment the server listens (handleSignals).
    std::optional<net::signal_set> signals;

    /// /config.js: the page's texts and settings.
    std::string pageScript;
    /// The deployment's logo, when it gave one: served at kBrandLogoPath.
    std::optional<Brand> brand;
    /// Every answer's Content-Security-Policy, with the frame ancestors allowed.
    std::string contentSecurityPolicy;

    /// The signing service's API, when the server has a service.
    std::unique_ptr<api::Api> api;

    /// The documents signing links show and sign (with options.service only).
    std::shared_ptr<links::LinkDocuments> linkDocuments;
    /// Stores the signing links' messages, many pads' in one commit (with options.service
    /// only). After ioc: it is gone, every message answered, before the io_context goes.
    std::unique_ptr<service::SampleCommitter> sampleCommitter;

    SessionAdmission admission;
    ResumeRegistry resumable;
    /// Every pad's current connection, for the stop to close.
    std::mutex connectionsMutex;
    std::list<std::weak_ptr<PadSocket>> connections;
    /// Every TLS connection's bridge, for the stop to cut.
    std::list<std::weak_ptr<TlsBridge>> bridges;

    std::mutex statsMutex;
    bool collecting = false;
    ServerStats stats;

    void accept();
    void stop();
    /// After run(): lets go of whatever the stop left.
    void drain();
    bool draining = false;            // no thread runs the io_context but drain()'s
    net::steady_timer deadline{ioc};  // for the pages to answer the stop's close
    /// How long a pad whose page dropped waits for it to come back.
    std::chrono::seconds resumeGrace() const { return std::min(options.idleTimeout, kResumeGrace); }
    /// A pad is gone: when the server is stopping and it was the last, nothing is left to wait for.
    void padGone(const std::string& address) {
        if (admission.release(address) == 0 && stopping && !draining) {
            ioc.stop();
        }
    }
    bool hostAllowed(std::string_view host) const {
        return allowedHosts.count(std::string(host)) > 0;
    }
    bool originAllowed(std::string_view origin) const {
        return allowedOrigins.count(std::string(origin)) > 0;
    }
    void record(double seconds, std::size_t samples, std::uint64_t bytes);
};

}  // namespace penwell::web
