#include <stdexcept>

#include "penwell/capture/Penwell.h"

namespace penwell {

PenwellViewController::PenwellViewController(Services services) : services_(std::move(services)) {
    if (!services_.graphics || !services_.application || !services_.device || !services_.runLoop) {
        throw std::invalid_argument(
            "PenwellViewController needs the graphics, application, device and run-loop services");
    }
    initialize();
}

PenwellViewController::~PenwellViewController() {
    // The observation and the timer are released with the members; cancel the timer
    // explicitly so a run loop that still holds it never fires into a destroyed controller.
    if (timeout) {
        timeout->invalidate();
    }
}

void PenwellViewController::initialize() {
    sigImage_.reset();
    _points.clear();
    _lines.clear();
    redrawnLines_ = 0;
    collectPoints = false;
    smoothing_ = false;
    currentOrientation = services_.application->statusBarOrientation();
    ipadport_.reset();
    ipadland_.reset();
    iphoneport_.reset();
    iphoneland_.reset();
    ipadportY_ = ipadlandY_ = iphoneportY_ = iphonelandY_ = 0;
    ibackcolor_ = Color::whiteColor();
    linecolor_ = Color::blueColor();
    lineWidth_ = 3.0f;
    MinSigPoints_ = 12;
    smoothingDelay_ = 1.0f;
}

void PenwellViewController::viewDidLoad() {
    ViewController::viewDidLoad();
}

void PenwellViewController::viewWillAppear(bool animated) {
    ViewController::viewWillAppear(animated);
    if (!sigImage_) {
        throw Exception("Penwell", "sigImage not initialized");
    }
    currentOrientation = services_.application->statusBarOrientation();
    // The observation belongs to the controller, so the handler can never outlive it.
    orientationObservation_ = services_.application->notificationCenter().addObserver(
        UIApplicationDidChangeStatusBarOrientationNotification,
        [this](const Notification& n) { viewDidRotate(n); });
    postToMainQueue(&PenwellViewController::clearSignature);
}

void PenwellViewController::viewWillDisappear(bool animated) {
    ViewController::viewWillDisappear(animated);
    if (timeout) {
        timeout->invalidate();
        timeout.reset();
    }
    orientationObservation_.reset();
}

void PenwellViewController::viewDidUnload() {
    ViewController::viewDidUnload();
    if (sigImage_) {
        sigImage_->setImage(std::nullopt);
    }
    _lines.clear();
    redrawnLines_ = 0;
    _points.clear();
    if (timeout) {
        timeout->invalidate();
        timeout.reset();
    }
}

void PenwellViewController::viewDidRotate(const Notification& /*notification*/) {
    const std::int64_t o = services_.application->statusBarOrientation();
    if (o == currentOrientation) {
        return;
    }
    currentOrientation = o;
    postToMainQueue(&PenwellViewController::clearSignature);
}

bool PenwellViewController::shouldAutorotate() const {
    return !collectPoints;
}

bool PenwellViewController::shouldAutorotateToInterfaceOrientation(std::int64_t) const {
    return !collectPoints;
}

std::uint64_t PenwellViewController::supportedInterfaceOrientations() const {
    return orientation::kMaskAll;
}

void PenwellViewController::postToMainQueue(void (PenwellViewController::*task)()) {
    services_.runLoop->post([alive = std::weak_ptr<const bool>(alive_), this, task] {
        if (alive.lock()) {
            (this->*task)();
        }
    });
}

}  // namespace penwell
