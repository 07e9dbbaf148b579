#include "penwell/service/PeriodicTask.h"

#include <utility>

namespace penwell::service {

PeriodicTask::PeriodicTask(Round round, std::chrono::milliseconds interval)
    : round_(std::move(round)), interval_(interval), thread_([this] { run(); }) {}

PeriodicTask::~PeriodicTask() {
    stop();
}

void PeriodicTask::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

bool PeriodicTask::stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
}

void PeriodicTask::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        round_([this] { return stopping(); });
        lock.lock();
        wake_.wait_for(lock, interval_, [this] { return stopping_; });
    }
}

}  // namespace penwell::service
