// The server in this process, driven by WebSocket clients over loopback: who gets a pad, who
// is refused and how, and what a dropped socket leaves behind. Every wait is bounded: a read
// gives up after a few seconds, a retry loop after a fixed number of tries.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "penwell/host/web/ServerState.h"
#include "penwell/host/web/tests/ServerFixture.h"

namespace penwell::web {
namespace {

using ::testing::HasSubstr;
using namespace servertest;

TEST(ServeServer, ADroppedSocketThatHeldNothingHoldsNoPlace) {
    ServerOptions options;
    options.maxSessions = 2;
    Running server(options);
    for (int i = 0; i < 2; ++i) {
        Client script(server.port());
        ASSERT_TRUE(script.hello());
        script.drop();
    }
    // Before, both pads waited a minute for their pages, and a signer was turned away.
    EXPECT_TRUE(padWithin(server.port(), 40));
}

TEST(ServeServer, ADroppedPadThatHeldSamplesWaitsForItsPage) {
    ServerOptions options;
    options.maxSessions = 1;
    Running server(options);
    std::string token;
    {
        Client page(server.port());
        const auto hello = page.hello();
        ASSERT_TRUE(hello);
        token = (*hello)["resume"];
        page.send(R"({"type":"down","pointer":"pen","samples":[[1,10,10,0.5]],"seq":1})");
        for (auto state = page.next(); state && (*state)["seq"] != 1; state = page.next()) {
        }
        page.drop();
    }
    Client other(server.port());
    EXPECT_FALSE(other.hello()) << "the one place is the dropped page's";
    EXPECT_EQ(other.closeCode(), websocket::close_code::try_again_later);
    std::optional<nlohmann::json> back;
    for (int i = 0; i < 40 && !back; ++i) {
        Client page(server.port(), {}, "?resume=" + token);
        back = page.hello();
    }
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["resumed"], true);
    EXPECT_EQ((*back)["seq"], 1);
}

// A refused page is told "try again later" (1013) with the reason, and tries again by itself.
TEST(ServeServer, LimitsNewSessionsPerAddress) {
    ServerOptions options;
    options.maxSessions = 4;
    options.sessionsPerAddress = 2;
    options.trustedProxies = {"127.0.0.1"};
    Running server(options);
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<Client>(server.port(), "203.0.113.5"));
        ASSERT_TRUE(held.back()->hello());
    }
    struct Case {
        const char* forwardedFor;
        const char* refusal;  // nullptr: a pad
    };
    const Case cases[] = {
        {"203.0.113.5", "busy: 2 signers from one address already"},
        // The proxy appends the address it took the connection from; the rest is the client's.
        {"203.0.113.6, 203.0.113.5", "busy: 2 signers from one address already"},
        {"203.0.113.5, 203.0.113.6", nullptr},
        // This machine's own browser, or a proxy that does not say: not limited by address.
        {"", nullptr},
        {"", "busy: 4 signers at once already"},
    };
    for (const Case& c : cases) {
        held.push_back(std::make_unique<Client>(server.port(), c.forwardedFor));
        const bool got = held.back()->hello().has_value();
        EXPECT_EQ(got, c.refusal == nullptr) << c.forwardedFor;
        if (c.refusal) {
            EXPECT_EQ(held.back()->closeCode(), websocket::close_code::try_again_later);
            EXPECT_EQ(held.back()->closeReason(), c.refusal) << c.forwardedFor;
        }
    }
}

TEST(ServeServer, LimitsHowFastOneAddressOpensSessions) {
    ServerOptions options;
    options.sessionsPerAddress = 100;
    options.trustedProxies = {"127.0.0.1"};
    Running server(options);
    // A burst is taken, then about one a second; a loop far faster is refused.
    int opened = 0;
    std::string refusal;
    for (int i = 0; i < 40 && refusal.empty(); ++i) {
        Client script(server.port(), "198.51.100.9");
        if (script.hello()) {
            ++opened;
        } else {
            refusal = script.closeReason();
        }
    }
    EXPECT_GE(opened, static_cast<int>(kNewSessionBurst));
    EXPECT_EQ(refusal, "busy: new sessions from one address too fast");
    // Others are not held up by it.
    EXPECT_TRUE(Client(server.port(), "198.51.100.10").hello());
}

// A message the session held while it sent a snapshot, and found out of order when its turn
// came, closes the session as it would have at once.
TEST(ServeServer, AHeldMessagesFaultClosesTheSession) {
    Running server(ServerOptions{});
    Client page(server.port());
    ASSERT_TRUE(page.hello());
    page.send(R"({"type":"snapshot"})");
    page.send(R"({"type":"move","pointer":"pen","samples":[[1,1,1,0]]})");
    while (page.next()) {
    }
    EXPECT_EQ(page.closeCode(), websocket::close_code::policy_error);
    EXPECT_EQ(page.closeReason(), "move without a down");
}

TEST(ServeServer, RefusesToStartInALanguageItDoesNotHave) {
    ServerOptions options;
    options.lang = "xx";
    const auto started = Server::listen(std::move(options));
    ASSERT_FALSE(started);
    EXPECT_THAT(started.error().message, HasSubstr("--lang xx: there are en, de"));
}

// A log collector reads one JSON object per line; a header quoted into a line may hold bytes
// that are not UTF-8, and must not cost the line.
TEST(ServeServer, LogsOneJsonObjectPerLineWhenAsked) {
    std::ostringstream captured;
    std::streambuf* const previous = std::cerr.rdbuf(captured.rdbuf());
    setLogFormat(LogFormat::json);
    serverLog("refused a request for host \"b\xff" "d\"");
    setLogFormat(LogFormat::text);
    serverLog("plain");
    std::cerr.rdbuf(previous);

    std::istringstream lines(captured.str());
    std::string first;
    std::string second;
    ASSERT_TRUE(std::getline(lines, first));
    ASSERT_TRUE(std::getline(lines, second));
    const auto entry = nlohmann::json::parse(first);
    EXPECT_EQ(entry.size(), 3u) << first;
    EXPECT_EQ(entry.at("level"), "info");
    EXPECT_EQ(entry.at("message"),
              "refused a request for host \"b\xef\xbf\xbd"
              "d\"");
    EXPECT_TRUE(std::regex_match(entry.at("time").get<std::string>(),
                                 std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << first;
    EXPECT_EQ(second, "penwell serve: plain");
}

// A supervisor may signal as soon as serve prints its address, before run() is called: the
// signal must stop the server, not end the process (this test would die with it).
TEST(ServeServer, ASignalBetweenListenAndRunStopsTheServer) {
    ServerOptions options;
    options.port = 0;
    auto started = Server::listen(std::move(options));
    ASSERT_TRUE(started);
    ASSERT_EQ(std::raise(SIGTERM), 0);
    (*started)->run();  // returns at once: the signal stopped it
    // A server that listened and never ran is freed too (the leak checker watches).
    ServerOptions idleOptions;
    idleOptions.port = 0;
    auto idle = Server::listen(std::move(idleOptions));
    ASSERT_TRUE(idle);
}

}  // namespace
}  // namespace penwell::web
