#include "host/common/Replay.h"

#include "host/common/HostServices.h"
#include "platform/Errors.h"
#include "platform/filesystem/DirectoryBundle.h"
#include "secure/StrokeRecord.h"

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

namespace {

Failure exportFailure(ExportError code, std::string message) {
    return {kExportErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

[[noreturn]] void noSignature(PenwellViewController& c, const Trace& trace) {
    const std::size_t samples = sampleCount(recordOf(c.lines()));
    throw Refusal{exportFailure(
        ExportError::noSignature,
        trace.name + ": no signature to export: " + std::to_string(c.lines().size()) +
            " strokes with " + std::to_string(samples) + " samples, and more than MinSigPoints = " +
            std::to_string(c.MinSigPoints()) + " are needed")};
}

std::string resourceFolder(const ServiceOptions& services) {
    return (services.resources ? *services.resources : filesystem::DirectoryBundle::defaultFolder())
        .string();
}

Exports exportsOf(Replay& replay, const Trace& trace, const ExportRequest& request,
                  const ServiceOptions& services) {
    PenwellViewController& c = replay.controller();
    Exports exports;
    if (request.padImage) {
        exports.padImage = renderView(replay.graphics(), replay.pad());
    }
    if (request.image) {
        exports.image = c.getSignatureImage(false);
        if (!exports.image) {
            noSignature(c, trace);
        }
    }
    if (request.cropped) {
        exports.cropped = c.getSignatureImage(true);
        if (!exports.cropped) {
            noSignature(c, trace);
        }
    }
    for (const ExportOptions& file : request.files) {
        std::optional<ExportResult> result = c.exportSignature(file);
        if (!result) {
            if (!c.isSignature()) {
                noSignature(c, trace);
            }
            throw Refusal{exportFailure(ExportError::tooLarge,
                                        trace.name +
                                            ": the export could not be made: the pad is too large "
                                            "for a bitmap or a document at this scale")};
        }
        exports.files.push_back(std::move(*result));
    }
    if (request.data) {
        std::optional<Bytes> wrapped;
        try {
            exports.data = c.getSignatureData(&wrapped);
        } catch (const AssertionFailure&) {
            // The component's way of saying the host was packaged without its certificate.
            throw Refusal{exportFailure(
                ExportError::noCertificate,
                resourceFolder(services) +
                    ": no Penwell.dat there and none in the certificate store (give the folder "
                    "with --resources)")};
        }
        if (!exports.data) {
            noSignature(c, trace);
        }
        if (!wrapped) {
            const auto& failure = c.lastExportFailure();
            throw Refusal{failure ? *failure
                                  : exportFailure(ExportError::notWrapped,
                                                  trace.name + ": the key could not be wrapped")};
        }
        exports.wrappedKey = std::move(wrapped);
    }
    if (request.evidence) {
        Result<Bytes> evidence = c.exportEvidence(*request.evidence);
        if (!evidence) {
            if (!c.isSignature()) {
                noSignature(c, trace);
            }
            throw Refusal{evidence.error()};
        }
        exports.evidence = std::move(*evidence);
    }
    return exports;
}

}  // namespace

Result<Exports> takeExports(Replay& replay, const Trace& trace, const ExportRequest& request,
                            const ServiceOptions& services) {
    return refusing([&] { return exportsOf(replay, trace, request, services); });
}

}  // namespace penwell::host
