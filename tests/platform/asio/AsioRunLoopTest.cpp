// The Asio run loop: the RunLoop contract (posts and timers never run inside the call that
// scheduled them; an invalidated timer never fires; the after-work hook follows each piece of
// work) on a strand of an io_context.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <string>
#include <vector>

#include "penwell/platform/asio/AsioRunLoop.h"

namespace penwell::asio {
namespace {

TEST(AsioRunLoop, RunsPostsAndTimersOnTheStrandAndNeverAnInvalidatedTimer) {
    boost::asio::io_context io;
    AsioRunLoop loop(
        boost::asio::make_strand(boost::asio::any_io_executor(io.get_executor())));
    std::vector<std::string> ran;
    loop.setAfterWork([&] { ran.push_back("after"); });
    auto late = loop.scheduleTimer(0.02, [&] { ran.push_back("late timer"); });
    auto soon = loop.scheduleTimer(0.0, [&] { ran.push_back("timer"); });
    auto cancelled = loop.scheduleTimer(0.01, [&] { ran.push_back("cancelled"); });
    loop.post([&] { ran.push_back("post"); });
    cancelled->invalidate();
    EXPECT_TRUE(ran.empty());  // nothing runs inside the call that scheduled it
    EXPECT_FALSE(cancelled->isValid());
    io.run();
    EXPECT_EQ(ran,
              (std::vector<std::string>{"post", "after", "timer", "after", "late timer", "after"}));
    EXPECT_FALSE(late->isValid());
    EXPECT_FALSE(soon->isValid());
}

}  // namespace
}  // namespace penwell::asio
