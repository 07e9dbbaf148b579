#pragma once
// The default user-interface backend: a headless host for tests, tools and hosts that drive
// the controller themselves. The host sets the device kind and orientation and posts the
// orientation notification, as a toolkit would.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "penwell/platform/Application.h"
#include "penwell/platform/RunLoop.h"
#include "penwell/platform/Services.h"
#include "penwell/platform/View.h"

namespace penwell::headless {

class HeadlessApplication final : public Application {
public:
    explicit HeadlessApplication(std::int64_t orientation = orientation::kPortrait)
        : orientation_(orientation) {}

    std::int64_t statusBarOrientation() const override { return orientation_; }
    NotificationCenter& notificationCenter() override { return center_; }

    /// Changes the orientation without telling anyone.
    void setStatusBarOrientation(std::int64_t o) { orientation_ = o; }
    /// Changes the orientation and posts the change notification, as the toolkit does.
    void rotateTo(std::int64_t o);

private:
    std::int64_t orientation_;
    NotificationCenter center_;
};

class HeadlessDevice final : public Device {
public:
    explicit HeadlessDevice(std::optional<std::int64_t> idiom = UIUserInterfaceIdiomPhone)
        : idiom_(idiom) {}

    std::optional<std::int64_t> userInterfaceIdiom() const override { return idiom_; }
    /// An empty idiom makes a device that does not answer.
    void setUserInterfaceIdiom(std::optional<std::int64_t> idiom) { idiom_ = idiom; }

private:
    std::optional<std::int64_t> idiom_;
};

/// Posted tasks and timers ordered by due time, then by scheduling order. Shared by both run
/// loops; not thread-safe by itself.
class TaskQueue {
public:
    TaskQueue();
    ~TaskQueue();
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    struct State;

    void post(double now, std::function<void()> task);
    std::shared_ptr<Timer> schedule(double due, std::function<void()> action);
    /// The due time of the earliest pending task, if any.
    std::optional<double> nextDue() const;
    /// Removes and returns the earliest task due at or before `now`.
    std::function<void()> takeDue(double now);
    bool empty() const;

private:
    std::unique_ptr<State> state_;
};

/// A run loop on a clock that moves only when told: tests and replays run deterministically
/// and instantly. Time starts at 0 seconds.
class ManualRunLoop final : public RunLoop {
public:
    void post(std::function<void()> task) override;
    std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> action) override;

    double now() const { return now_; }
    /// Runs everything due now, including work posted while running.
    void runPending();
    /// Moves the clock forward, running what falls due in time order, each at its due time.
    void advance(double seconds);
    /// Runs until nothing is left, moving the clock to each timer as it comes due.
    void runUntilIdle();
    bool idle() const { return queue_.empty(); }

private:
    double now_ = 0.0;
    TaskQueue queue_;
};

/// A run loop on the steady clock for interactive hosts. post() and scheduleTimer() may be
/// called from any thread; the loop runs on the thread that calls run().
class RealTimeRunLoop final : public RunLoop {
public:
    void post(std::function<void()> task) override;
    std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> action) override;

    /// Runs tasks as they come due for `duration`, or until stop().
    void runFor(std::chrono::duration<double> duration);
    void stop();

private:
    double now() const;

    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    TaskQueue queue_;
};

/// The headless pieces of a host, kept by concrete type so the host can drive them.
struct HeadlessHost {
    std::shared_ptr<HeadlessApplication> application = std::make_shared<HeadlessApplication>();
    std::shared_ptr<HeadlessDevice> device = std::make_shared<HeadlessDevice>();
    std::shared_ptr<ManualRunLoop> runLoop = std::make_shared<ManualRunLoop>();
};

}  // namespace penwell::headless
