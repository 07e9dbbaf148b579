#pragma once
// The HTTP and WebSocket server behind `penwell serve`: it serves the signing page from memory
// and runs one SigningSession per WebSocket, each on its own strand of a shared io_context.
// This header keeps Boost to the implementation.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "penwell/host/web/Session.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Http.h"
#include "penwell/platform/Result.h"

namespace penwell::service {
class SigningService;
}

namespace penwell::web {

/// How long a pad whose page dropped off the network (no WebSocket close) waits for the page
/// to come back with its resume token, at most --idle: the page reconnects by itself and
/// finds its strokes. A page that closes, reloads or starts again gets a fresh pad.
inline constexpr std::chrono::seconds kResumeGrace{60};

/// Domain of a server that cannot start; the code is the socket error's value, or 0.
inline constexpr const char* kServerErrorDomain = "PenwellWebServer";

/// The WebSocket close code of a session closed for being idle (one of those the protocol
/// leaves to applications): the page tells the signer so, and a kiosk starts again. A session
/// the server has no room for is closed at once with 1013, "try again later", and its page
/// tries again by itself.
inline constexpr std::uint16_t kIdleCloseCode = 4000;

/// New sessions one address may open in a burst, and how fast that allowance comes back: a
/// script that opens and drops sockets in a loop costs the server little, and others nothing.
inline constexpr double kNewSessionBurst = 10;
inline constexpr double kNewSessionsPerSecond = 1;

struct ServerOptions {
    std::string bind = "127.0.0.1";
    std::uint16_t port = 8080;  ///< 0 picks a free port
    PadSettings pad;
    std::size_t maxSessions = 16;
    /// Sessions one signer's address may hold at once. The address is the peer's; from a peer
    /// in `trustedProxies` it is the one the proxy adds to X-Forwarded-For. A connection from
    /// this machine that names no one believed (a kiosk's own browser, a proxy not trusted or
    /// that does not say) is not limited by address.
    std::size_t sessionsPerAddress = 4;
    /// The page's language: a code of one it ships ("en", "de"), or a JSON file with a
    /// deployment's own texts (see PageTexts.h).
    std::string lang = "en";
    /// A session that sends nothing for this long is closed.
    std::chrono::seconds idleTimeout{300};
    /// Origins a reverse proxy serves the page under (https://sign.example.com): their host
    /// is taken as a Host header and they as an Origin, besides the local addresses.
    std::vector<std::string> publicOrigins;
    /// Reverse proxies whose X-Forwarded-For is believed, for the limits and the audit trail:
    /// IP addresses or networks (127.0.0.1, 10.0.0.0/8). From anyone else the header is
    /// ignored, whatever else is set: a signer must not choose the address he is counted as.
    std::vector<std::string> trustedProxies;
    /// Origins whose pages may show the signing page in a frame (an integrator's own portal:
    /// https://portal.example.com). None: no page may frame it.
    std::vector<std::string> frameAncestors;
    /// A deployment's logo and colours on the page (Brand.h); none: Penwell's own look.
    std::optional<std::filesystem::path> brand;
    /// In-process TLS: the PEM certificate chain and its unencrypted PEM key (the key not
    /// readable by others). Both or neither; without them the server speaks plain HTTP.
    std::optional<std::filesystem::path> tlsCertificate;
    std::optional<std::filesystem::path> tlsKey;
    unsigned threads = 2;
    /// The signing service's requests, links and samples (serve --data); none for a free pad
    /// or one --document, which keep nothing beyond a signer's session.
    std::shared_ptr<service::SigningService> service;
    /// pdf.js's folder for the signing links' pages (nullopt: as SignableDocument::open finds it).
    std::optional<std::filesystem::path> pdfjs;
    /// With the service: each signer's signature time-stamped by this authority (B-T) and each
    /// completed request's seal made B-LTA with validation data up to `longTermTrust`.
    std::optional<std::string> tsa;
    std::shared_ptr<HttpClient> http;
    std::vector<Bytes> longTermTrust;
    bool handleSignals = true;  ///< SIGINT and SIGTERM stop run()
};

enum class LogFormat { text, json };
/// How the server writes its log lines to stderr: "penwell serve: <line>", or one JSON object
/// per line ({"time":"2026-12-08T10:00:00.000Z","level":"info","message":"..."}) for a log
/// collector. For the whole process; text until set.
void setLogFormat(LogFormat format);
/// One line of the server's log, in that format (for what runs beside the server: webhooks).
void serverLog(const std::string& line);

/// What the load benchmark reads.
struct ServerStats {
    /// Server time per sample: for each flush, the time spent on the messages it covers and
    /// on the flush itself over their samples, with that sample count as weight.
    std::vector<std::pair<double, std::size_t>> secondsPerSample;
    std::uint64_t bytesSent = 0;
    std::uint64_t samples = 0;
};

class Server {
public:
    /// Binds and listens; fails naming the address, the public origin or the language at
    /// fault.
    static Result<std::unique_ptr<Server>> listen(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::uint16_t port() const;
    /// The page's address, e.g. http://127.0.0.1:8080/ (https:// with TLS).
    std::string url() const;

    /// Serves until stop() (or a signal). Returns once every session has been closed.
    void run();
    /// Thread-safe.
    void stop();

    /// Starts collecting statistics (off by default: they grow with every flush).
    void collectStats();
    ServerStats takeStats();

    struct Impl;  // public only so the implementation's connection classes can name it

private:
    explicit Server(ServerOptions options);
    MaybeFailure start();

    std::shared_ptr<Impl> impl_;
};

}  // namespace penwell::web
