#include "penwell/platform/asio/AsioRunLoop.h"

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cmath>

namespace penwell::asio {

namespace {

class SteadyTimer final : public Timer {
public:
    explicit SteadyTimer(const Strand& strand) : timer_(strand) {}

    void invalidate() override {
        if (!done_.exchange(true)) {
            timer_.cancel();
        }
    }
    bool isValid() const override { return !done_; }

    /// True once, for the firing that is not preceded by invalidate().
    bool fire() { return !done_.exchange(true); }

    boost::asio::steady_timer& timer() { return timer_; }

private:
    boost::asio::steady_timer timer_;
    std::atomic<bool> done_{false};
};

}  // namespace

void AsioRunLoop::post(std::function<void()> task) {
    boost::asio::post(strand_, [hook = afterWork_, task = std::move(task)] {
        task();
        if (*hook) {
            (*hook)();
        }
    });
}

std::shared_ptr<Timer> AsioRunLoop::scheduleTimer(double seconds, std::function<void()> action) {
    auto timer = std::make_shared<SteadyTimer>(strand_);
    // NaN and negative delays fire at once, as on every other run loop.
    const double delay = seconds > 0.0 ? std::min(seconds, 1.0e9) : 0.0;
    timer->timer().expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(delay)));
    timer->timer().async_wait(
        [timer, hook = afterWork_, action = std::move(action)](const boost::system::error_code&) {
            // A cancelled wait also arrives here; fire() refuses it because invalidate() ran.
            if (timer->fire()) {
                action();
                if (*hook) {
                    (*hook)();
                }
            }
        });
    return timer;
}

}  // namespace penwell::asio
