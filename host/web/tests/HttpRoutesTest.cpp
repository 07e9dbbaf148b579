// The server's HTTP side over real sockets: each path it answers with the page's own bytes and
// type, what it refuses and how (404, 405, 403, 400), the limits on a request's size, and the
// WebSocket upgrade with its origin check.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "penwell/host/web/tests/ServerFixture.h"
#include "support/CertificateFixtures.h"

namespace penwell::web {
namespace {

using namespace servertest;

std::string pageFile(const std::string& name) {
    return test::readText(std::string(PENWELL_SOURCE_DIR "/host/web/page/") + name);
}

std::string header(const http::response<http::string_body>& r, std::string_view name) {
    return std::string(r[beast::string_view(name.data(), name.size())]);
}

TEST(ServeHttp, ServesEachFileOfThePageWithItsType) {
    Running server(ServerOptions{});
    const struct {
        const char* target;
        const char* file;  // nullptr: /config.js, made at start-up
        const char* type;
    } cases[] = {
        {"/", "index.html", "text/html; charset=utf-8"},
        {"/pad.js", "pad.js", "text/javascript; charset=utf-8"},
        {"/pad.css", "pad.css", "text/css; charset=utf-8"},
        {"/document.js", "document.js", "text/javascript; charset=utf-8"},
        {"/document.css", "document.css", "text/css; charset=utf-8"},
        // A query is no part of the path: a page may bust a cache with one.
        {"/pad.js?v=2", "pad.js", "text/javascript; charset=utf-8"},
        {"/config.js", nullptr, "text/javascript; charset=utf-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        const auto reply = askHttp(server.port(), request(server.port(), "GET", c.target));
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result_int(), 200u);
        EXPECT_EQ(header(*reply, "Content-Type"), c.type);
        if (c.file) {
            EXPECT_EQ(reply->body(), pageFile(c.file));
        } else {
            EXPECT_NE(reply->body().find("\"lang\""), std::string::npos) << reply->body();
        }
        // The page may be framed by no one, run no one else's script, and sniff nothing.
        EXPECT_EQ(header(*reply, "X-Frame-Options"), "DENY");
        EXPECT_EQ(header(*reply, "X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(header(*reply, "Cache-Control"), "no-store");
        EXPECT_EQ(header(*reply, "Cross-Origin-Opener-Policy"), "same-origin");
        EXPECT_EQ(header(*reply, "Content-Security-Policy"),
                  "default-src 'self'; connect-src 'self'; img-src 'self' blob: data:; "
                  "frame-ancestors 'none'");
    }
    // HEAD: the same length, no body.
    const auto head = askHttp(server.port(), request(server.port(), "HEAD", "/pad.js"));
    ASSERT_TRUE(head);
    EXPECT_EQ(head->result_int(), 200u);
    EXPECT_EQ(header(*head, "Content-Length"), "0");
}

// An integrator's portal may frame the signing page: only the origins named, and then no
// X-Frame-Options, which could only forbid it to everyone.
TEST(ServeHttp, FramedOnlyByTheOriginsAllowed) {
    ServerOptions options;
    options.frameAncestors = {"https://portal.example.com", "http://[::1]:8443"};
    Running server(std::move(options));
    const auto reply = askHttp(server.port(), request(server.port(), "GET", "/"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(header(*reply, "X-Frame-Options"), "");
    EXPECT_EQ(header(*reply, "Content-Security-Policy"),
              "default-src 'self'; connect-src 'self'; img-src 'self' blob: data:; "
              "frame-ancestors https://portal.example.com http://[::1]:8443");
}

// An origin goes into a header as it is written: anything but scheme://host[:port] could
// widen the policy or split the header, and is refused at start.
TEST(ServeHttp, RefusesToStartWithAnOriginThatIsNotOne) {
    const std::string bad[] = {
        "portal.example.com",
        "https://portal.example.com/",
        "https://portal.example.com/path",
        "https://a.example.com; script-src *",
        "https://a.example.com https://b.example.com",
        "*",
        "https://*.example.com",
        "ftp://portal.example.com",
        "https://portal.example.com\r\nSet-Cookie: x=1",
    };
    for (const std::string& origin : bad) {
        for (const bool framing : {true, false}) {
            ServerOptions options;
            options.port = 0;
            (framing ? options.frameAncestors : options.publicOrigins) = {origin};
            const auto started = Server::listen(std::move(options));
            ASSERT_FALSE(started) << origin;
            EXPECT_THAT(started.error().message, ::testing::HasSubstr(": expected an origin like"))
                << origin;
        }
    }
}

TEST(ServeHttp, RefusesWhatItDoesNotServe) {
    Running server(ServerOptions{});
    const std::uint16_t port = server.port();
    const std::string big(9 * 1024, 'a');
    const struct {
        const char* what;
        std::string raw;
        unsigned status;
        const char* body;
    } cases[] = {
        {"an unknown path", request(port, "GET", "/nope"), 404, "not found\n"},
        {"a path out of the page", request(port, "GET", "/../../etc/passwd"), 404, "not found\n"},
        {"the document when none is served", request(port, "GET", "/document.pdf"), 404,
         "not found\n"},
        {"pdf.js when no document is served", request(port, "GET", "/pdfjs/pdf.js"), 404,
         "not found\n"},
        {"a POST", request(port, "POST", "/", "Content-Length: 2\r\n") + "{}", 405, "GET only\n"},
        // DNS rebinding: a name the server was not started under.
        {"another host",
         "GET / HTTP/1.1\r\nHost: evil.example:" + std::to_string(port) + "\r\n\r\n", 403,
         "host not allowed\n"},
        {"no host", "GET / HTTP/1.1\r\n\r\n", 403, "host not allowed\n"},
        {"another site's script",
         request(port, "GET", "/pad.js", "Origin: http://evil.example\r\n"), 403,
         "origin not allowed\n"},
        {"a header larger than 8 KiB", request(port, "GET", "/", "X-Big: " + big + "\r\n"), 400,
         "bad request\n"},
        {"a path larger than 8 KiB", request(port, "GET", "/" + big), 400, "bad request\n"},
        {"a body larger than 1 KiB",
         request(port, "POST", "/", "Content-Length: 2000\r\n") + std::string(2000, 'b'), 400,
         "bad request\n"},
        {"not HTTP", "HELLO\r\n\r\n", 400, "bad request\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto reply = askHttp(port, c.raw);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result_int(), c.status);
        EXPECT_EQ(reply->body(), c.body);
        EXPECT_EQ(header(*reply, "Content-Type"), "text/plain");
    }
    // Still serving after all of them.
    const auto after = askHttp(port, request(port, "GET", "/"));
    ASSERT_TRUE(after);
    EXPECT_EQ(after->result_int(), 200u);
}

TEST(ServeHttp, KeepsAConnectionAliveForTheNextRequest) {
    Running server(ServerOptions{});
    const std::uint16_t port = server.port();
    // Two requests in one write: both answered, in order, on one connection.
    net::io_context io;
    tcp::socket socket(io);
    socket.connect({net::ip::make_address("127.0.0.1"), port});
    boundReads(socket);
    net::write(socket,
               net::buffer(request(port, "GET", "/nope") + request(port, "GET", "/pad.css")));
    beast::flat_buffer buffer;
    http::response<http::string_body> first, second;
    http::read(socket, buffer, first);
    http::read(socket, buffer, second);
    EXPECT_EQ(first.result_int(), 404u);
    EXPECT_EQ(second.result_int(), 200u);
    EXPECT_EQ(second.body(), pageFile("pad.css"));
}

/// A WebSocket upgrade to `target` from `origin` (none when empty), with `more` header lines.
std::string upgrade(std::uint16_t port, const std::string& target, const std::string& origin,
                    const std::string& more =
                        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                        "Sec-WebSocket-Version: 13\r\n",
                    const std::string& host = "") {
    return "GET " + target +
           " HTTP/1.1\r\nHost: " + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
           (origin.empty() ? "" : "Origin: " + origin + "\r\n") + more + "\r\n";
}

TEST(ServeHttp, UpgradesOnlyToThePadFromThePagesOwnOrigin) {
    ServerOptions options;
    options.maxSessions = 1;
    options.publicOrigins = {"https://sign.example.com"};
    Running server(options);
    const std::uint16_t port = server.port();
    const std::string own = "http://127.0.0.1:" + std::to_string(port);
    const struct {
        const char* what;
        std::string raw;
        unsigned status;
        const char* body;  // nullptr: not looked at
    } cases[] = {
        {"the page", upgrade(port, "/ws", own), 101, nullptr},
        {"through the reverse proxy",
         upgrade(port, "/ws", "https://sign.example.com",
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n",
                 "sign.example.com"),
         101, nullptr},
        {"another path", upgrade(port, "/socket", own), 404, "not found\n"},
        {"no origin", upgrade(port, "/ws", ""), 403, "origin not allowed\n"},
        {"the proxy's origin over plain HTTP", upgrade(port, "/ws", "http://sign.example.com"), 403,
         "origin not allowed\n"},
        {"no key", upgrade(port, "/ws", own, "Sec-WebSocket-Version: 13\r\n"), 400, nullptr},
        {"another version",
         upgrade(port, "/ws", own,
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 8\r\n"),
         426, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto reply = askHttp(port, c.raw);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->result_int(), c.status);
        if (c.status == 101) {
            EXPECT_EQ(header(*reply, "Sec-WebSocket-Accept"), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
        }
        if (c.body) {
            EXPECT_EQ(reply->body(), c.body);
        }
    }
    // Of all these, only the two pages that were let in took the one place, and each gave it
    // back when its socket closed (they held nothing): a signer gets it now.
    EXPECT_TRUE(padWithin(port, 40));
}

}  // namespace
}  // namespace penwell::web
