#include "penwell/platform/qt/QtRunLoop.h"

#include <QTimer>
#include <cmath>
#include <limits>

namespace penwell::qt {

namespace {

class QtTimer final : public Timer {
public:
    QtTimer(QObject* context, double seconds, std::function<void()> action)
        : action_(std::move(action)) {
        if (context == nullptr) {
            valid_ = false;  // the context is gone: never fires
            return;
        }
        timer_ = new QTimer(context);
        timer_->setSingleShot(true);
        // Precise: the smoothing delay is a second, and a coarse timer may fire 5% early.
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_, &QTimer::timeout, timer_, [this] { fire(); });
        timer_->start(milliseconds(seconds));
    }
    ~QtTimer() override { invalidate(); }

    void invalidate() override {
        valid_ = false;
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
            timer_.clear();
        }
    }
    bool isValid() const override { return valid_; }

private:
    static int milliseconds(double seconds) {
        if (!(seconds > 0.0)) {
            return 0;  // at once, NaN too
        }
        const double ms = std::ceil(seconds * 1000.0);
        return ms >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                     : static_cast<int>(ms);
    }
    void fire() {
        if (!valid_) {
            return;
        }
        valid_ = false;
        // The action may drop the last reference to this timer: keep what it runs alive.
        const std::function<void()> action = std::move(action_);
        if (timer_) {
            timer_->deleteLater();
            timer_.clear();
        }
        action();
    }

    QPointer<QTimer> timer_;
    std::function<void()> action_;
    bool valid_ = true;
};

}  // namespace

QtRunLoop::QtRunLoop(QObject* context, std::function<void()> afterEach)
    : context_(context), afterEach_(std::move(afterEach)) {}

std::function<void()> QtRunLoop::wrapped(std::function<void()> work) const {
    if (!afterEach_) {
        return work;
    }
    return [work = std::move(work), after = afterEach_] {
        work();
        after();
    };
}

QtRunLoop::~QtRunLoop() = default;

void QtRunLoop::post(std::function<void()> task) {
    // A queued call runs after the current event, on the context's thread, and is dropped with
    // the context.
    QObject* context = context_.data();
    if (context != nullptr) {
        QMetaObject::invokeMethod(context, wrapped(std::move(task)), Qt::QueuedConnection);
    }
}

std::shared_ptr<Timer> QtRunLoop::scheduleTimer(double seconds, std::function<void()> action) {
    return std::make_shared<QtTimer>(context_.data(), seconds, wrapped(std::move(action)));
}

}  // namespace penwell::qt
