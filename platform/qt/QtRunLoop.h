#pragma once
// The run loop on Qt's event loop: the main queue is Qt's queue of posted events and the
// one-shot timers are QTimers, so a controller in a Qt application runs its posted work and its
// smoothing timer between the application's own events, on the GUI thread.

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>

#include "penwell/platform/RunLoop.h"

namespace penwell::qt {

class QtRunLoop final : public RunLoop {
public:
    /// Work runs on the thread of `context` (the GUI thread's, when it is a widget) while it
    /// lives; once it is destroyed, posted work and pending timers are dropped, never run.
    /// `afterEach`, when given, runs after every posted task and timer action: a view shows
    /// what the work changed.
    explicit QtRunLoop(QObject* context, std::function<void()> afterEach = {});
    ~QtRunLoop() override;

    /// May be called from any thread.
    void post(std::function<void()> task) override;
    /// On the context's thread only (a QTimer belongs to the thread that starts it).
    std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> action) override;

private:
    std::function<void()> wrapped(std::function<void()> work) const;

    QPointer<QObject> context_;
    std::function<void()> afterEach_;
};

}  // namespace penwell::qt
