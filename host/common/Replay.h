#pragma once
// Runs a trace through a real PenwellViewController on the headless host with the manual
// clock, as a toolkit and a host would drive it on a device.
//
// Time: the run loop's clock starts at 0 and is the clock of touch events. Before a touch
// event the clock moves forward to the timestamp of the event's first touch (never back),
// firing every timer that falls due on the way, so a smoothing timer fires only if the trace
// leaves the pad alone long enough. A wait moves the clock by its duration. After every event
// the work it posted to the main queue runs, as it would once the toolkit's callback returns.

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/host/common/Trace.h"
#include "penwell/platform/Defaults.h"
#include "penwell/platform/Result.h"
#include "penwell/secure/Evidence.h"

namespace penwell::host {

struct ReplaySettings {
    std::optional<bool> smoothing;   ///< overrides the trace's configuration
    std::optional<float> lineWidth;  ///< overrides the trace's configuration
    /// The resource folder, and the certificate store's file. Without a store file the replay
    /// uses a store in memory, thrown away with it: a replay never installs the certificate
    /// in the user's store unasked.
    ServiceOptions services;
};

class Replay {
public:
    /// Sets up the host, the pad and the controller as the trace says, and shows the pad (the
    /// posted clear has run when this returns).
    Replay(const Trace& trace, const ReplaySettings& settings);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    /// Delivers every event in order. `onExport` runs at each export event, or once after the
    /// last event when the trace has none.
    void run(const std::function<void()>& onExport);

    PenwellViewController& controller() { return *controller_; }
    const ImageView& pad() const { return *pad_; }
    Graphics& graphics() { return *services_.graphics; }
    const Services& services() const { return services_; }
    /// The run loop's clock, in seconds.
    double clock() const { return host_.runLoop->now(); }

private:
    void deliver(const TraceEvent& event);
    void advanceTo(double time);

    const Trace& trace_;
    headless::HeadlessHost host_;
    Services services_;
    std::shared_ptr<ImageView> pad_;
    std::unique_ptr<PenwellViewController> controller_;
};

/// What a replay's signature gives is taken with exportBundle() (host/common/SignatureBundle.h),
/// the one export service; what the pad shows, with renderView(replay.graphics(), replay.pad()).

}  // namespace penwell::host
