// In-process TLS (serve --tls-cert, --tls-key), from outside as a client meets it: a
// certificate made here by the openssl command, curl trusting only it for the health check and
// the API, a pad's WebSocket over TLS, plain HTTP and old TLS refused; and the files a server
// must refuse to start with. Every exchange is bounded by curl's --max-time or a socket timeout.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <boost/asio/ssl.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <filesystem>

#include "penwell/host/web/api/Api.h"
#include "penwell/host/web/tests/ServerFixture.h"
#include "penwell/host/web/tests/ServiceFixture.h"
#include "support/CertificateFixtures.h"
#include "support/Shell.h"

namespace penwell::web {
namespace {

namespace fs = std::filesystem;
namespace ssl = boost::asio::ssl;
using namespace servertest;

/// A self-signed certificate for 127.0.0.1 and its key (mode 0600), made by openssl.
struct Credentials {
    explicit Credentials(const fs::path& folder, const std::string& name = "server")
        : certificate(folder / (name + ".crt")), key(folder / (name + ".key")) {
        const test::Shell made = test::runCombined(
            "timeout 60 openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
            "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -days 2 -keyout " +
            key.string() + " -out " + certificate.string());
        EXPECT_EQ(made.status, 0) << made.output;
        ::chmod(key.c_str(), 0600);
    }
    fs::path certificate;
    fs::path key;
};

/// curl trusting only `ca`, bounded in time: its exit code, and the status and body it got.
test::Shell curl(const Credentials& ca, const std::string& url, const std::string& more = "") {
    return test::runCombined("curl -sS --noproxy '*' --max-time 20 --cacert " +
                             ca.certificate.string() + " " + more + " -w ' %{http_code}' " +
                             test::quoted(url));
}

TEST(Tls, ServesTheApiThePageAndThePadOverTlsOnly) {
    test::TempDir dir;
    const Credentials credentials(dir.path());
    ServiceInFolder signing;
    ServerOptions options;
    options.service = signing.service;
    options.tlsCertificate = credentials.certificate;
    options.tlsKey = credentials.key;
    Running server(options);
    const std::string base = "https://127.0.0.1:" + std::to_string(server.port());

    // curl checks the chain and the name against the one certificate it is given.
    const test::Shell health = curl(credentials, base + "/healthz");
    EXPECT_EQ(health.status, 0) << health.output;
    EXPECT_EQ(health.output, "ok\n 200");
    const test::Shell document = curl(credentials, base + "/api/v1/openapi.json");
    EXPECT_EQ(document.output, std::string(api::openApiDocument()) + " 200");
    // A large answer and a keep-alive connection through the bridge: the same twice.
    const test::Shell twice = curl(credentials, base + "/api/v1/openapi.json",
                                   "-o /dev/null -o /dev/null " + base + "/api/v1/openapi.json");
    EXPECT_EQ(twice.output, " 200 200") << twice.output;
    const test::Shell refused = curl(credentials, base + "/api/v1/requests",
                                     "-H 'Content-Type: application/json' -d '{}'");
    EXPECT_EQ(refused.status, 0) << refused.output;
    EXPECT_NE(refused.output.find(R"("code":"unauthorized")"), std::string::npos)
        << refused.output;
    EXPECT_EQ(refused.output.substr(refused.output.size() - 4), " 401");

    // TLS older than 1.2 is refused in the handshake; so is a client that speaks plain HTTP.
    EXPECT_NE(curl(credentials, base + "/healthz", "--tls-max 1.1").status, 0);
    EXPECT_FALSE(askHttp(server.port(), request(server.port(), "GET", "/healthz")));

    // A pad over TLS, its Origin the https page's own.
    net::io_context io;
    ssl::context context(ssl::context::tls_client);
    context.load_verify_file(credentials.certificate.string());
    context.set_verify_mode(ssl::verify_peer);
    websocket::stream<beast::ssl_stream<tcp::socket>> ws(io, context);
    beast::get_lowest_layer(ws).connect({net::ip::make_address("127.0.0.1"), server.port()});
    boundReads(beast::get_lowest_layer(ws));
    ws.next_layer().set_verify_callback(ssl::host_name_verification("127.0.0.1"));
    ws.next_layer().handshake(ssl::stream_base::client);
    ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& r) {
        r.set(http::field::origin, base);
    }));
    ws.handshake("127.0.0.1:" + std::to_string(server.port()), "/ws");
    /// The next text message of `type`, within 100 messages (the pad's pictures are binary).
    const auto next = [&](const char* type) -> std::optional<nlohmann::json> {
        for (int i = 0; i < 100; ++i) {
            beast::flat_buffer buffer;
            ws.read(buffer);
            if (!ws.got_text()) {
                continue;
            }
            auto message = nlohmann::json::parse(beast::buffers_to_string(buffer.data()));
            if (message["type"] == type) {
                return message;
            }
        }
        return std::nullopt;
    };
    EXPECT_TRUE(next("hello"));
    ws.write(net::buffer(std::string(
        R"({"type":"down","pointer":"pen","samples":[[1,10,10,0.5]],"seq":1})")));
    std::optional<nlohmann::json> state = next("state");
    for (int i = 0; i < 10 && state && (*state)["seq"] != 1; ++i) {
        state = next("state");  // the pad's state before the message came
    }
    ASSERT_TRUE(state);
    EXPECT_EQ((*state)["seq"], 1);
    EXPECT_EQ((*state)["samples"], 1);
    ws.close(websocket::close_code::normal);
}

TEST(Tls, AServerWithFilesItCannotTrustDoesNotStart) {
    test::TempDir dir;
    const Credentials credentials(dir.path());
    const Credentials other(dir.path(), "other");
    const fs::path open = dir.path() / "open.key";
    fs::copy_file(credentials.key, open);
    ::chmod(open.c_str(), 0644);
    const fs::path grouped = dir.path() / "grouped.key";
    fs::copy_file(credentials.key, grouped);
    ::chmod(grouped.c_str(), 0640);
    const fs::path notKey = dir.path() / "certificate.key";
    fs::copy_file(credentials.certificate, notKey);
    ::chmod(notKey.c_str(), 0600);
    const fs::path text = dir.path() / "text.crt";
    test::writeFile(text, std::string("not a certificate\n"));
    const struct {
        fs::path certificate;
        fs::path key;
        std::string refusal;  // "": it starts
    } cases[] = {
        {credentials.certificate, grouped, ""},  // Debian's ssl-cert group may read a key
        {credentials.certificate, open,
         open.string() + ": the key is readable by others (mode 0644); make it the owner's "
                         "alone: chmod 600 " + open.string()},
        {credentials.certificate, other.key,
         other.key.string() + ": not the key of the certificate in " +
             credentials.certificate.string()},
        {text, credentials.key, text.string() + ": not a PEM certificate chain ("},
        {credentials.certificate, notKey, notKey.string() + ": not an unencrypted PEM private key ("},
        {dir.path() / "missing.crt", credentials.key,
         (dir.path() / "missing.crt").string() + ": No such file or directory"},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        options.port = 0;
        options.handleSignals = false;
        options.tlsCertificate = c.certificate;
        options.tlsKey = c.key;
        const auto started = Server::listen(std::move(options));
        if (c.refusal.empty()) {
            EXPECT_TRUE(started) << started.error().message;
            continue;
        }
        ASSERT_FALSE(started) << c.refusal;
        EXPECT_EQ(started.error().message.substr(0, c.refusal.size()), c.refusal);
        EXPECT_EQ(started.error().message.find('\n'), std::string::npos);
    }
}

#ifdef PENWELL_TOOL
TEST(Tls, TheToolTakesACertificateOnlyWithItsKey) {
    for (const char* half : {"--tls-cert", "--tls-key"}) {
        const test::Shell run = test::runCombined(std::string("timeout 30 ") + PENWELL_TOOL +
                                                  " serve --port 0 " + half + " /nonexistent");
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    }
}
#endif

}  // namespace
}  // namespace penwell::web
