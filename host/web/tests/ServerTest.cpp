// The server in this process, driven by WebSocket clients over loopback: what a dropped pad
// holds, the log's form, and a signal before run(). A message refused closes the session with
// its reason, held or not (SnapshotTest; the browser tests, serve.test.mjs). Who is refused a
// pad and how: TrustedProxyTest (per address), PadLimitsTest (the counts and rate) and the
// browser tests (signer.test.mjs). Every wait is bounded: a read gives up after a few seconds,
// a retry loop after a fixed number of tries.

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

using namespace servertest;

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
    EXPECT_EQ(other.closeReason(), "busy: 1 signers at once already");
    std::optional<nlohmann::json> back;
    for (int i = 0; i < 40 && !back; ++i) {
        Client page(server.port(), {}, "?resume=" + token);
        back = page.hello();
    }
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["resumed"], true);
    EXPECT_EQ((*back)["seq"], 1);
}

// A log collector reads one JSON object per line; a header quoted into a line may hold bytes
// that are not UTF-8, and must not cost the line.
TEST(ServeServer, LogsOneJsonObjectPerLineWhenAsked) {
    std::ostringstream captured;
    std::streambuf* const previous = std::cerr.rdbuf(captured.rdbuf());
    setLogFormat(LogFormat::json);
    serverLog(
        "refused a request for host \"b\xff"
        "d\"");
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
