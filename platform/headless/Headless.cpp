#include "penwell/platform/headless/Headless.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <thread>
#include <utility>

namespace penwell::headless {

void HeadlessApplication::rotateTo(std::int64_t o) {
    orientation_ = o;
    center_.post(UIApplicationDidChangeStatusBarOrientationNotification);
}

// ---- TaskQueue -------------------------------------------------------------------------------

struct TaskQueue::State {
    struct Key {
        double due;
        std::uint64_t sequence;
        bool operator<(const Key& o) const {
            return due < o.due || (due == o.due && sequence < o.sequence);
        }
    };
    std::map<Key, std::function<void()>> tasks;
    std::uint64_t nextSequence = 0;
};

namespace {

// A timer is only flagged when invalidated; its queue entry turns into a no-op. That keeps
// invalidate() free of the queue's lock, so it is safe whatever thread runs the loop.
class QueuedTimer final : public Timer {
public:
    void invalidate() override { invalidated_ = true; }
    bool isValid() const override { return !fired_ && !invalidated_; }
    bool fire() {
        if (invalidated_.exchange(true)) {
            return false;
        }
        fired_ = true;
        return true;
    }

private:
    std::atomic<bool> fired_{false};
    std::atomic<bool> invalidated_{false};
};

}  // namespace

TaskQueue::TaskQueue() : state_(std::make_unique<State>()) {}
TaskQueue::~TaskQueue() = default;

void TaskQueue::post(double now, std::function<void()> task) {
    state_->tasks.emplace(State::Key{now, state_->nextSequence++}, std::move(task));
}

std::shared_ptr<Timer> TaskQueue::schedule(double due, std::function<void()> action) {
    auto timer = std::make_shared<QueuedTimer>();
    state_->tasks.emplace(State::Key{due, state_->nextSequence++},
                          [timer, action = std::move(action)] {
                              if (timer->fire()) {
                                  action();
                              }
                          });
    return timer;
}

std::optional<double> TaskQueue::nextDue() const {
    if (state_->tasks.empty()) {
        return std::nullopt;
    }
    return state_->tasks.begin()->first.due;
}

std::function<void()> TaskQueue::takeDue(double now) {
    auto it = state_->tasks.begin();
    if (it == state_->tasks.end() || it->first.due > now) {
        return {};
    }
    auto task = std::move(it->second);
    state_->tasks.erase(it);
    return task;
}

bool TaskQueue::empty() const {
    return state_->tasks.empty();
}

// ---- ManualRunLoop ---------------------------------------------------------------------------

void ManualRunLoop::post(std::function<void()> task) {
    queue_.post(now_, std::move(task));
}

std::shared_ptr<Timer> ManualRunLoop::scheduleTimer(double seconds, std::function<void()> action) {
    const double delay = seconds > 0.0 ? seconds : 0.0;  // NaN and negatives fire at once
    return queue_.schedule(now_ + delay, std::move(action));
}

void ManualRunLoop::runPending() {
    while (auto task = queue_.takeDue(now_)) {
        task();
    }
}

void ManualRunLoop::advance(double seconds) {
    const double end = now_ + (seconds > 0.0 ? seconds : 0.0);
    runPending();
    while (auto due = queue_.nextDue()) {
        if (*due > end) {
            break;
        }
        now_ = std::max(now_, *due);
        runPending();
    }
    now_ = end;
    runPending();
}

void ManualRunLoop::runUntilIdle() {
    while (auto due = queue_.nextDue()) {
        now_ = std::max(now_, *due);
        runPending();
    }
}

// ---- RealTimeRunLoop -------------------------------------------------------------------------

double RealTimeRunLoop::now() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void RealTimeRunLoop::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        queue_.post(now(), std::move(task));
    }
    wake_.notify_one();
}

std::shared_ptr<Timer> RealTimeRunLoop::scheduleTimer(double seconds,
                                                      std::function<void()> action) {
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard lock(mutex_);
        timer = queue_.schedule(now() + (seconds > 0.0 ? seconds : 0.0), std::move(action));
    }
    wake_.notify_one();
    return timer;
}

void RealTimeRunLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
}

void RealTimeRunLoop::runFor(std::chrono::duration<double> duration) {
    const double end = now() + duration.count();
    std::unique_lock lock(mutex_);
    stopping_ = false;
    while (!stopping_) {
        const double t = now();
        if (auto task = queue_.takeDue(t)) {
            lock.unlock();
            task();  // tasks may post more work, so run them without the lock
            lock.lock();
            continue;
        }
        if (t >= end) {
            break;
        }
        const double until = std::min(end, queue_.nextDue().value_or(end));
        wake_.wait_for(lock, std::chrono::duration<double>(until - t));
    }
}

}  // namespace penwell::headless
