#pragma once
// Stand-ins for the main queue and the run loop's one-shot timers. Everything scheduled here
// runs later on the thread that runs the loop (the host's main thread), never inside the call
// that scheduled it.

#include <functional>
#include <memory>

namespace penwell {

class Timer {
public:
    virtual ~Timer() = default;
    /// Cancels the timer if it has not fired; afterwards it never fires.
    virtual void invalidate() = 0;
    /// True until the timer fires or is invalidated.
    virtual bool isValid() const = 0;
};

class RunLoop {
public:
    virtual ~RunLoop() = default;

    /// Runs `task` asynchronously on the main queue, after the current work.
    virtual void post(std::function<void()> task) = 0;

    /// Runs `action` once, `seconds` from now (at once if not positive), unless invalidated.
    virtual std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> action) = 0;
};

}  // namespace penwell
