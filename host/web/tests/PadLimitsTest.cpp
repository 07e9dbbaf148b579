// Who holds a pad and for how long: the admission's counts and allowance on a clock the test
// drives, and a pad kept for its page after a drop and found again only with its token. Tests
// over sockets bound every wait. (An idle session's close, a message too large, binary or
// unknown, and a page taking its pad over from a connection the server still holds, the
// browser tests see from the page: serve.test.mjs.)

#include <gtest/gtest.h>

#include "penwell/host/web/SessionAdmission.h"
#include "penwell/host/web/tests/ServerFixture.h"

namespace penwell::web {
namespace {

using namespace servertest;
using Clock = SessionAdmission::Clock;

TEST(ServeAdmission, CountsSessionsAtOnceAndPerAddress) {
    SessionAdmission admission(3, 2, 10, 1);
    const Clock::time_point t0{};
    // "" is a connection not limited by address (this machine's own browser).
    const struct {
        const char* address;
        const char* refusal;  // nullptr: admitted
    } steps[] = {
        {"203.0.113.5", nullptr},
        {"203.0.113.5", nullptr},
        {"203.0.113.5", "2 signers from one address already"},
        {"", nullptr},
        {"203.0.113.6", "3 signers at once already"},
        {"", "3 signers at once already"},
    };
    for (const auto& step : steps) {
        const auto refused = admission.admit(step.address, t0);
        EXPECT_EQ(refused.value_or("admitted"), step.refusal ? step.refusal : "admitted")
            << step.address;
    }
    EXPECT_EQ(admission.sessions(), 3u);
    EXPECT_EQ(admission.release("203.0.113.5"), 2u);
    EXPECT_EQ(admission.admit("203.0.113.5", t0).value_or("admitted"), "admitted");
    EXPECT_EQ(admission.release(""), 2u);
    EXPECT_EQ(admission.release("203.0.113.5"), 1u);
    EXPECT_EQ(admission.release("203.0.113.5"), 0u);
}

TEST(ServeAdmission, NewSessionsFromOneAddressComeBackAtTheirRate) {
    SessionAdmission admission(1000, 1000, 3, 0.5);  // a burst of 3, one more every 2 s
    Clock::time_point now{};
    const auto open = [&](const char* address) { return !admission.admit(address, now); };
    EXPECT_TRUE(open("a"));
    EXPECT_TRUE(open("a"));
    EXPECT_TRUE(open("a"));
    EXPECT_EQ(admission.admit("a", now).value_or(""), "new sessions from one address too fast");
    EXPECT_TRUE(open("b")) << "another address has its own burst";
    now += std::chrono::milliseconds(1999);
    EXPECT_FALSE(open("a"));
    now += std::chrono::milliseconds(1);
    EXPECT_TRUE(open("a"));
    EXPECT_FALSE(open("a"));
    // A clock read before the last one (two threads racing) gives nothing back.
    EXPECT_FALSE(admission.admit("a", now - std::chrono::seconds(10)).value_or("").empty());
    now += std::chrono::seconds(100);  // the allowance is a burst at most, however long
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(open("a")) << i;
    }
    EXPECT_FALSE(open("a"));
}

TEST(ServeAdmission, ForgetsAnAddressThatHoldsNothingAndHasItsBurst) {
    SessionAdmission admission(10, 10, 2, 1);
    Clock::time_point now{};
    ASSERT_FALSE(admission.admit("203.0.113.7", now));
    ASSERT_FALSE(admission.admit("203.0.113.8", now));
    admission.release("203.0.113.7");
    admission.release("203.0.113.8");
    EXPECT_EQ(admission.trackedAddresses(), 2u);  // their bursts are not back yet
    now += std::chrono::seconds(1);
    ASSERT_FALSE(admission.admit("", now));
    EXPECT_EQ(admission.trackedAddresses(), 0u);  // a script's many addresses cost nothing
}

/// A page that drew one sample and dropped off the network without a close; answers its token.
std::string dropAfterOneSample(std::uint16_t port) {
    Client page(port);
    const auto hello = page.hello();
    EXPECT_TRUE(hello);
    if (!hello) {
        return {};
    }
    page.send(R"({"type":"down","pointer":"pen","samples":[[1,10,10,0.5]],"seq":1})");
    for (auto state = page.next(); state && (*state)["seq"] != 1; state = page.next()) {
    }
    page.drop();
    return (*hello)["resume"];
}

TEST(ServeResume, OnlyThePadsOwnTokenFindsItAgain) {
    Running server(ServerOptions{});
    const std::string token = dropAfterOneSample(server.port());
    ASSERT_EQ(token.size(), 32u);
    // A wrong token, or one of another length: a fresh pad, with a token of its own.
    for (const std::string& wrong : {std::string(32, '0'), token.substr(0, 31), std::string()}) {
        Client page(server.port(), {}, "?resume=" + wrong);
        const auto hello = page.hello();
        ASSERT_TRUE(hello) << wrong;
        EXPECT_EQ((*hello)["resumed"], false) << wrong;
        EXPECT_EQ((*hello)["seq"], 0) << wrong;
        EXPECT_NE((*hello)["resume"], token);
        EXPECT_NE((*hello)["resume"], wrong);
    }
    Client back(server.port(), {}, "?resume=" + token);
    const auto hello = back.hello();
    ASSERT_TRUE(hello);
    EXPECT_EQ((*hello)["resumed"], true);
    EXPECT_EQ((*hello)["seq"], 1);
    EXPECT_EQ((*hello)["resume"], token);
}

TEST(ServeResume, APadWhoseGraceRanOutIsGone) {
    ServerOptions options;
    options.maxSessions = 1;
    options.idleTimeout = std::chrono::seconds(1);  // the grace is at most the idle timeout
    Running server(options);
    const std::string token = dropAfterOneSample(server.port());
    ASSERT_FALSE(token.empty());
    // The one place is the parked pad's until its grace runs out; then a signer gets it.
    ASSERT_TRUE(padWithin(server.port(), 60));
    // Its page, late: a fresh pad (once the signer above has given the place back).
    const auto hello = padWithin(server.port(), 40, "?resume=" + token);
    ASSERT_TRUE(hello);
    EXPECT_EQ((*hello)["resumed"], false);
    EXPECT_EQ((*hello)["seq"], 0);
}

}  // namespace
}  // namespace penwell::web
