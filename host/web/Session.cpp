// A session's side of the protocol: the page's messages, in order, fed to the controller, and
// the hello that tells the page how to talk to it. Its pictures are in SessionPictures.cpp and
// Done's files in SessionDone.cpp.

#include <cmath>
#include <nlohmann/json.hpp>

#include "penwell/host/common/HostServices.h"
#include "penwell/host/common/PadPicture.h"
#include "penwell/host/web/Session.h"
#include "penwell/host/web/SessionClock.h"

namespace penwell::web {

using host::hostServices;
using host::opaqueBackground;

namespace {

using Json = nlohmann::json;
using Clock = SessionClock;

/// A refusal of a message that is well-formed but that the session cannot take now.
Failure outOfOrder(std::string reason) {
    return Failure{kProtocolErrorDomain, static_cast<std::int64_t>(ProtocolFault::outOfOrder),
                   std::move(reason)};
}

/// The ink as a CSS colour, for the page's provisional ink (black unless the pad says).
std::string inkColour(const std::optional<Color>& color) {
    double rgba[4] = {0.0, 0.0, 0.0, 1.0};
    if (color) {
        const auto c = color->components();
        const bool isRgb = color->numberOfComponents() >= 3;
        for (int i = 0; i < 3; ++i) {
            rgba[i] = unitComponent(isRgb ? c[static_cast<std::size_t>(i)] : c[0]) * 255.0;
        }
        rgba[3] = unitComponent(color->alpha());
    }
    char css[64];
    std::snprintf(css, sizeof css, "rgba(%d, %d, %d, %.3f)", static_cast<int>(rgba[0] + 0.5),
                  static_cast<int>(rgba[1] + 0.5), static_cast<int>(rgba[2] + 0.5), rgba[3]);
    return css;
}

/// The binary messages' layout, for the page.
Json patchLayout() {
    Json fields = Json::object();
    for (const PatchField& f : kPatchFields) {
        fields[std::string(f.name)] = {f.offset, f.bytes};
    }
    return {{"header", kPatchHeaderSize},
            {"kinds", {{"paint", kPatchMessage}, {"snapshot", kSnapshotMessage}}},
            {"fields", fields}};
}

}  // namespace

SigningSession::SigningSession(const PadSettings& settings, std::shared_ptr<RunLoop> runLoop,
                               Sink& sink)
    : settings_(settings), sink_(sink) {
    services_ = hostServices(host_, settings.services);
    services_.runLoop = std::move(runLoop);
    pad_ = std::make_shared<ImageView>(Rect{{0, 0}, settings.size});
    controller_ = std::make_unique<PenwellViewController>(services_);
    controller_->setSigImage(pad_);
    controller_->setSmoothing(settings.smoothing);
    controller_->setLineWidth(settings.lineWidth);
    controller_->viewDidLoad();
    controller_->viewWillAppear(false);
    input_ = std::make_unique<host::StrokeInput>(*controller_, settings.samplesPerSession,
                                                 [this](const std::string& line) { note(line); });
}

SigningSession::~SigningSession() {
    *alive_ = false;
    if (holdsTurn_) {
        settings_.snapshotTurns->pass();
    }
    controller_->viewWillDisappear(false);
}

void SigningSession::later(void (SigningSession::*work)()) {
    services_.runLoop->post([alive = std::weak_ptr<bool>(alive_), this, work] {
        if (const auto a = alive.lock(); a && *a) {
            (this->*work)();
        }
    });
}

std::string SigningSession::hello(const std::string& resumeToken, bool resumed) const {
    char background[8];
    const std::uint32_t bg = opaqueBackground(pad_->backgroundColor());
    std::snprintf(background, sizeof background, "#%06x", bg & 0xffffffu);
    return Json{{"type", "hello"},
                {"width", static_cast<int>(settings_.size.width)},
                {"height", static_cast<int>(settings_.size.height)},
                {"background", background},
                {"smoothing", controller_->smoothing()},
                {"lineWidth", controller_->lineWidth()},
                {"out", settings_.out.has_value()},
                {"document", settings_.document != nullptr},
                {"kiosk", settings_.out.has_value()},
                {"ink", inkColour(controller_->linecolor())},
                {"resume", resumeToken},
                {"resumed", resumed},
                {"seq", lastSeq_},
                {"timeJitter", kTimeJitter},
                {"patch", patchLayout()},
                {"limits",
                 {{"messageBytes", settings_.limits.messageBytes},
                  {"samplesPerMessage", settings_.limits.samplesPerMessage},
                  {"samplesPerSession", settings_.samplesPerSession}}}}
        .dump();
}

std::size_t SigningSession::heldSamples() const {
    return input_->heldSamples();
}

MaybeFailure SigningSession::receive(std::string_view text) {
    Result<ClientMessage> parsed = parseClientMessage(text, settings_.limits);
    if (!parsed) {
        return parsed.error();
    }
    ClientMessage& message = *parsed;
    if (message.type == MessageType::snapshot && snapshotAsked_ &&
        !(message.seq && *message.seq <= lastSeq_)) {
        return outOfOrder("snapshot: asked again before the last one was sent");
    }
    if (sending_) {
        // The picture shows the pad as it was when it began: what comes meanwhile waits.
        if (held_.size() >= kHeldMessages) {
            return outOfOrder("more than " + std::to_string(kHeldMessages) +
                              " messages while a picture was being sent");
        }
        held_.push_back(std::move(message));
        return std::nullopt;
    }
    return handle(message);
}

MaybeFailure SigningSession::handle(const ClientMessage& message) {
    const auto start = Clock::now();
    if (message.seq) {
        if (*message.seq <= lastSeq_) {
            return std::nullopt;  // sent again by a page that came back: taken already
        }
        lastSeq_ = *message.seq;
    }
    PenwellViewController& c = *controller_;
    switch (message.type) {
        case MessageType::down:
        case MessageType::move:
        case MessageType::up:
        case MessageType::cancel:
            if (MaybeFailure refused = touch(message)) {
                return refused;
            }
            break;
        case MessageType::undo:
            c.undoSignature();
            break;
        case MessageType::clear:
            c.clearSignature();
            break;
        case MessageType::done:
            done();
            break;
        case MessageType::snapshot:
            snapshotAsked_ = true;
            startSnapshotWhenDue();
            break;
        case MessageType::shown:
            if (!settings_.document) {
                return outOfOrder("shown: no document is being signed");
            }
            if (message.page != settings_.document->page()) {
                return outOfOrder("shown: page " + std::to_string(message.page) +
                                  " is not the one the signature goes on");
            }
            documentShown_ = message.page;
            break;
        case MessageType::config:
            if ((message.smoothing || message.lineWidth) && !settings_.operatorControls) {
                // They change the signed outputs: the operator's, not the signer's, to choose.
                return outOfOrder("config: smoothing and lineWidth are the operator's settings");
            }
            if (message.smoothing) {
                c.setSmoothing(*message.smoothing);
            }
            if (message.lineWidth) {
                c.setLineWidth(*message.lineWidth);
            }
            if (message.scale && *message.scale != scale_) {
                // A new screen density: the page's canvas is new, so all of it is sent again.
                scale_ = *message.scale;
                resync();
            }
            break;
    }
    workSeconds_ += secondsSince(start);
    return std::nullopt;
}

MaybeFailure SigningSession::touch(const ClientMessage& message) {
    static constexpr host::StrokePhase kPhases[] = {host::StrokePhase::down,
                                                    host::StrokePhase::move, host::StrokePhase::up,
                                                    host::StrokePhase::cancel};
    if (const MaybeFailure refused = input_->feed(kPhases[static_cast<int>(message.type)],
                                                  message.pointer, message.samples)) {
        return refused;  // the stroke input's own reason: "move without a down"
    }
    workSamples_ += message.samples.size();
    return std::nullopt;
}

void SigningSession::note(const std::string& line) {
    sink_.log(line);
}

void SigningSession::resync() {
    sentImage_.reset();
    sentState_.clear();
}

std::pair<double, std::size_t> SigningSession::takeWork() {
    return {std::exchange(workSeconds_, 0.0), std::exchange(workSamples_, 0)};
}

}  // namespace penwell::web
