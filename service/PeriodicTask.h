#pragma once
// A round of work on its own thread: once at start, then every interval, until stopped or
// destroyed. The webhook deliveries and the retention sweep of `serve --data` run so; a round
// under way finishes (it may ask stopping() to end early) before stop() returns.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace penwell::service {

class PeriodicTask {
public:
    /// `round` is given a function that answers whether stop() was called meanwhile.
    using Round = std::function<void(const std::function<bool()>& stopping)>;

    PeriodicTask(Round round, std::chrono::milliseconds interval);
    ~PeriodicTask();
    PeriodicTask(const PeriodicTask&) = delete;
    PeriodicTask& operator=(const PeriodicTask&) = delete;

    /// Ends the wait between rounds and joins the thread; the round under way finishes first.
    void stop();

private:
    void run();
    bool stopping();

    Round round_;
    std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;  // last: it runs once everything above is made
};

}  // namespace penwell::service
