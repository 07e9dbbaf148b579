#pragma once
// The run loop on Boost.Asio, for hosts that serve the pad over the network: the main queue is
// an Asio strand, and one-shot timers are steady timers on that strand. Everything the
// controller schedules therefore runs on the strand that delivers its touches, so a controller
// is never touched from two threads even when the io_context runs on many.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/strand.hpp>
#include <functional>
#include <memory>

#include "penwell/platform/RunLoop.h"

namespace penwell::asio {

using Strand = boost::asio::strand<boost::asio::any_io_executor>;

class AsioRunLoop final : public RunLoop {
public:
    explicit AsioRunLoop(Strand strand) : strand_(std::move(strand)) {}

    void post(std::function<void()> task) override;
    std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> action) override;

    /// Runs after every posted task and every timer action, on the strand: a host repaints
    /// there, as a toolkit redraws once the main queue's work is done. Not called for work
    /// that was invalidated.
    void setAfterWork(std::function<void()> hook) { *afterWork_ = std::move(hook); }

    const Strand& strand() const { return strand_; }

private:
    Strand strand_;
    // Shared with pending work, so work that outlives this loop never reads freed memory.
    std::shared_ptr<std::function<void()>> afterWork_ = std::make_shared<std::function<void()>>();
};

}  // namespace penwell::asio
