#include "penwell/host/common/Replay.h"

#include "penwell/host/common/HostServices.h"
#include "penwell/platform/Errors.h"
#include "penwell/platform/filesystem/DirectoryBundle.h"
#include "penwell/secure/StrokeRecord.h"

namespace penwell::host {

Replay::Replay(const Trace& trace, const ReplaySettings& settings) : trace_(trace) {
    host_.device->setUserInterfaceIdiom(trace.idiom);
    host_.application->setStatusBarOrientation(trace.orientation);
    services_ = hostServices(host_, settings.services);
    pad_ = std::make_shared<ImageView>(trace.padFrame);
    controller_ = std::make_unique<PenwellViewController>(services_);
    controller_->setSigImage(pad_);

    const TraceConfig& config = trace.config;
    if (config.smoothing) {
        controller_->setSmoothing(*config.smoothing);
    }
    if (settings.smoothing) {
        controller_->setSmoothing(*settings.smoothing);
    }
    if (config.smoothingDelay) {
        controller_->setSmoothingDelay(*config.smoothingDelay);
    }
    if (config.lineWidth) {
        controller_->setLineWidth(*config.lineWidth);
    }
    if (settings.lineWidth) {
        controller_->setLineWidth(*settings.lineWidth);
    }
    if (config.lineColor) {
        controller_->setLinecolor(*config.lineColor);
    }
    if (config.backgroundColor) {
        controller_->setIbackcolor(*config.backgroundColor);
    }
    if (config.MinSigPoints) {
        controller_->setMinSigPoints(*config.MinSigPoints);
    }

    controller_->viewDidLoad();
    controller_->viewWillAppear(false);
    host_.runLoop->runPending();  // the clear that showing the pad posts
}

Replay::~Replay() = default;

void Replay::advanceTo(double time) {
    if (time > host_.runLoop->now()) {
        host_.runLoop->advance(time - host_.runLoop->now());
    }
}

void Replay::deliver(const TraceEvent& event) {
    PenwellViewController& c = *controller_;
    const TouchSet touches(event.touches);
    const Event touchEvent(event.coalesced);
    switch (event.type) {
        case EventType::began:
        case EventType::moved:
        case EventType::ended:
        case EventType::cancelled:
            if (!event.touches.empty()) {
                advanceTo(event.touches.front().timestamp);
            }
            break;
        default:
            break;
    }
    switch (event.type) {
        case EventType::began:
            c.touchesBegan(touches, touchEvent);
            break;
        case EventType::moved:
            c.touchesMoved(touches, touchEvent);
            break;
        case EventType::ended:
            c.touchesEnded(touches, touchEvent);
            break;
        case EventType::cancelled:
            c.touchesCancelled(touches, touchEvent);
            break;
        case EventType::undo:
            c.undoSignature();
            break;
        case EventType::clear:
            c.clearSignature();
            break;
        case EventType::appear:
            c.viewWillAppear(false);
            break;
        case EventType::disappear:
            c.viewWillDisappear(false);
            break;
        case EventType::rotate:
            host_.application->rotateTo(event.orientation);
            break;
        case EventType::wait:
            host_.runLoop->advance(event.seconds);
            break;
        case EventType::exportSignature:
            break;  // run() calls back
    }
    host_.runLoop->runPending();
}

void Replay::run(const std::function<void()>& onExport) {
    bool exported = false;
    for (const TraceEvent& event : trace_.events) {
        deliver(event);
        if (event.type == EventType::exportSignature) {
            onExport();
            exported = true;
        }
    }
    if (!exported) {
        onExport();
    }
}

}  // namespace penwell::host
