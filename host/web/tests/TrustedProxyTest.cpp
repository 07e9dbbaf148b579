// Whom the server believes a request comes from: X-Forwarded-For counts, for the per-address
// limits and the audit trail, only from a peer named as a trusted proxy. The parsing and the
// choice on fed addresses, then the real server on loopback.

#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>

#include "penwell/host/web/TrustedProxies.h"
#include "penwell/host/web/tests/ServerFixture.h"
#include "penwell/host/web/tests/ServiceFixture.h"

namespace penwell::web {
namespace {

using namespace servertest;

TEST(TrustedProxies, RefusesAnEntryThatIsNoAddressOrNetwork) {
    for (const char* bad : {"proxy.example.com", "10.0.0.0/33", "fd00::/129", "10.0.0.1/", "",
                            "127.0.0.1 ", "10.0.0.0/8/8"}) {
        const auto parsed = TrustedProxies::parse({"127.0.0.1", bad});
        ASSERT_FALSE(parsed) << bad;
        EXPECT_EQ(parsed.error().message,
                  std::string(bad) + ": expected an IP address or a network like 10.0.0.0/8");
    }
}

TEST(TrustedProxies, BelievesTheHeaderOnlyFromATrustedPeer) {
    const TrustedProxies proxies =
        TrustedProxies::parse({"127.0.0.1", "10.1.0.0/16", "fd00::/8"}).value();
    const struct {
        const char* peer;
        const char* forwardedFor;
        const char* client;  // "": the header is not believed
    } cases[] = {
        {"127.0.0.1", "203.0.113.5", "203.0.113.5"},
        {"127.0.0.2", "203.0.113.5", ""},  // loopback, but not named
        {"192.0.2.9", "203.0.113.5", ""},
        {"10.1.255.3", " 203.0.113.5 ", "203.0.113.5"},
        {"fd12::1", "2001:db8::7", "2001:db8::7"},
        {"::ffff:127.0.0.1", "203.0.113.5", "203.0.113.5"},  // IPv4 through an IPv6 socket
        {"::1", "203.0.113.5", ""},
        // Each proxy appends its own peer: what stands before the last is the client's to write.
        {"127.0.0.1", "198.51.100.1, 203.0.113.5", "203.0.113.5"},
        // A chain of trusted proxies passes on what the first one saw.
        {"127.0.0.1", "198.51.100.1, 203.0.113.5, 10.1.0.4", "203.0.113.5"},
        {"127.0.0.1", "10.1.0.4", "10.1.0.4"},  // nothing before it: the proxy is the client
        // Garbage from a trusted proxy is one address, whatever it says.
        {"127.0.0.1", "not an address", "?"},
        {"127.0.0.1", "203.0.113.5, ", "?"},
        {"127.0.0.1", "203.0.113.5:4711", "?"},
        {"127.0.0.1", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(proxies.forwardedClient(boost::asio::ip::make_address(c.peer), c.forwardedFor),
                  c.client)
            << c.peer << " " << c.forwardedFor;
    }
}

// A refused page is told "try again later" (1013) with the reason, and tries again by itself.
TEST(TrustedProxies, TheServerCountsAForwardedAddressOnlyFromATrustedProxy) {
    const struct {
        std::vector<std::string> trusted;
        const char* refusal;  // the third pad "from" 203.0.113.5; nullptr: it is not limited
    } cases[] = {
        {{"127.0.0.1"}, "busy: 2 signers from one address already"},
        {{"127.0.0.0/8"}, "busy: 2 signers from one address already"},
        // Before, a --public-origin alone made any local process a proxy it believed.
        {{}, nullptr},
        {{"10.0.0.0/8"}, nullptr},
    };
    for (const auto& c : cases) {
        ServerOptions options;
        options.maxSessions = 8;
        options.sessionsPerAddress = 2;
        options.publicOrigins = {"https://sign.example.com"};
        options.trustedProxies = c.trusted;
        Running server(options);
        std::vector<std::unique_ptr<Client>> held;
        for (int i = 0; i < 2; ++i) {
            held.push_back(std::make_unique<Client>(server.port(), "203.0.113.5"));
            ASSERT_TRUE(held.back()->hello());
        }
        Client third(server.port(), "203.0.113.5");
        const bool got = third.hello().has_value();
        EXPECT_EQ(got, c.refusal == nullptr) << testing::PrintToString(c.trusted);
        if (c.refusal) {
            EXPECT_EQ(third.closeCode(), websocket::close_code::try_again_later);
            EXPECT_EQ(third.closeReason(), c.refusal);
            EXPECT_TRUE(Client(server.port(), "203.0.113.6").hello()) << "another signer";
            // Garbage is one address of its own: two of it take its two places.
            Client a(server.port(), "garbage"), b(server.port(), "more garbage");
            EXPECT_TRUE(a.hello());
            EXPECT_TRUE(b.hello());
            Client c3(server.port(), "<script>");
            EXPECT_FALSE(c3.hello());
            EXPECT_EQ(c3.closeReason(), "busy: 2 signers from one address already");
        }
    }
}

TEST(TrustedProxies, TheTrailKeepsAForwardedAddressOnlyFromATrustedProxy) {
    const struct {
        std::vector<std::string> trusted;
        const char* address;
    } cases[] = {
        {{"127.0.0.1"}, "203.0.113.5"},
        {{}, "127.0.0.1"},
    };
    for (const auto& c : cases) {
        ServiceInFolder signing;
        const auto created = signing.request();
        ServerOptions options;
        options.service = signing.service;
        options.trustedProxies = c.trusted;
        Running server(options);
        const auto answer = askHttp(
            server.port(), request(server.port(), "GET", "/s/" + created.linkTokens[0] + "/",
                                   "X-Forwarded-For: 203.0.113.5\r\nUser-Agent: Browser/1\r\n"));
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->result_int(), 200);
        const auto trail = signing.store->auditTrail(created.request.id).value();
        ASSERT_GE(trail.size(), 2u);
        EXPECT_EQ(trail[1].type, "link.opened");
        EXPECT_EQ(trail[1].actor.address, c.address) << testing::PrintToString(c.trusted);
    }
}

}  // namespace
}  // namespace penwell::web
