// The headless host's run loops, and the notification centre its application posts through.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "penwell/platform/Application.h"
#include "penwell/platform/headless/Headless.h"

namespace penwell {
namespace {

TEST(ManualRunLoop, TasksAndTimersRunInTimeOrderAndInvalidatedTimersNever) {
    headless::ManualRunLoop loop;
    std::vector<std::string> log;
    auto late = loop.scheduleTimer(2.0, [&] { log.push_back("late"); });
    auto early = loop.scheduleTimer(1.0, [&] { log.push_back("early"); });
    auto cancelled = loop.scheduleTimer(0.5, [&] { log.push_back("cancelled"); });
    loop.post([&] {
        log.push_back("posted");
        loop.post([&] { log.push_back("posted by a task"); });
    });
    EXPECT_TRUE(log.empty());  // nothing runs inside the call that schedules it
    cancelled->invalidate();
    loop.runPending();
    EXPECT_EQ(log, (std::vector<std::string>{"posted", "posted by a task"}));
    loop.advance(1.5);
    EXPECT_FALSE(early->isValid());
    EXPECT_TRUE(late->isValid());
    loop.runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"posted", "posted by a task", "early", "late"}));
    EXPECT_DOUBLE_EQ(loop.now(), 2.0);
}

TEST(RealTimeRunLoop, RunsPostedWorkAndTimers) {
    headless::RealTimeRunLoop loop;
    int fired = 0;
    loop.post([&] { ++fired; });
    auto timer = loop.scheduleTimer(0.01, [&] {
        ++fired;
        loop.stop();
    });
    loop.runFor(std::chrono::seconds(5));
    EXPECT_EQ(fired, 2);
}

TEST(NotificationCenter, ObservationEndsWithItsOwner) {
    NotificationCenter center;
    int calls = 0;
    {
        auto observation = center.addObserver("n", [&](const Notification&) { ++calls; });
        center.post("n");
        center.post("other");
    }
    center.post("n");
    EXPECT_EQ(calls, 1);
    // A handler that removes a later observer of the same post: the later one is not called.
    NotificationCenter::Observation second;
    auto first = center.addObserver("n", [&](const Notification&) { second.reset(); });
    second = center.addObserver("n", [&](const Notification&) { ++calls; });
    center.post("n");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace penwell
