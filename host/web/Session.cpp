#include "host/web/Session.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "host/common/HostServices.h"
#include "host/common/PadPicture.h"
#include "host/common/SignatureBundle.h"
#include "platform/Errors.h"
#include "platform/Graphics.h"
#include "platform/openssl/Base64.h"
#include "secure/Evidence.h"
#include "secure/StrokeRecord.h"

namespace penwell::web {

using host::hostServices;
using host::opaqueBackground;

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
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

Json statistic(double value) {
    return std::isnan(value) ? Json(nullptr) : Json(value);
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

void SnapshotTurns::take(std::function<void()> go) {
    {
        std::lock_guard lock(mutex_);
        if (taken_) {
            waiting_.push_back(std::move(go));
            return;
        }
        taken_ = true;
    }
    go();
}

void SnapshotTurns::pass() {
    std::function<void()> next;
    {
        std::lock_guard lock(mutex_);
        if (waiting_.empty()) {
            taken_ = false;
            return;
        }
        next = std::move(waiting_.front());
        waiting_.pop_front();
    }
    next();
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

void SigningSession::receive(std::string_view text) {
    ClientMessage message = parseClientMessage(text, settings_.limits);
    if (message.type == MessageType::snapshot && snapshotAsked_ &&
        !(message.seq && *message.seq <= lastSeq_)) {
        throw ProtocolError("snapshot: asked again before the last one was sent");
    }
    if (sending_) {
        // The picture shows the pad as it was when it began: what comes meanwhile waits.
        if (held_.size() >= kHeldMessages) {
            throw ProtocolError("more than " + std::to_string(kHeldMessages) +
                                " messages while a picture was being sent");
        }
        held_.push_back(std::move(message));
        return;
    }
    handle(message);
}

void SigningSession::handle(const ClientMessage& message) {
    const auto start = Clock::now();
    if (message.seq) {
        if (*message.seq <= lastSeq_) {
            return;  // sent again by a page that came back: taken already
        }
        lastSeq_ = *message.seq;
    }
    PenwellViewController& c = *controller_;
    switch (message.type) {
        case MessageType::down:
        case MessageType::move:
        case MessageType::up:
        case MessageType::cancel:
            touch(message);
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
                throw ProtocolError("shown: no document is being signed");
            }
            if (message.page != settings_.document->page()) {
                throw ProtocolError("shown: page " + std::to_string(message.page) +
                                    " is not the one the signature goes on");
            }
            documentShown_ = message.page;
            break;
        case MessageType::config:
            if ((message.smoothing || message.lineWidth) && !settings_.operatorControls) {
                // They change the signed outputs: the operator's, not the signer's, to choose.
                throw ProtocolError(
                    "config: smoothing and lineWidth are the operator's settings");
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
}

void SigningSession::startSnapshotWhenDue() {
    if (!snapshotAsked_ || sending_ || (snapshotGate_ && snapshotGate_->isValid())) {
        return;  // not asked, or asked and started when the picture or the pause ends
    }
    flush();  // the page paints what is pending before it compares
    if (sending_) {
        return;  // a large patch first
    }
    const PixelRect whole = wholePad();
    if (whole.width * whole.height * scale_ * scale_ > kInlinePixels) {
        beginSending(kSnapshotMessage, whole);
        return;
    }
    const auto start = Clock::now();
    sendPatch(kSnapshotMessage, whole);
    snapshotSent(secondsSince(start));
}

void SigningSession::snapshotSent(double seconds) {
    snapshotAsked_ = false;
    if (std::exchange(holdsTurn_, false)) {
        settings_.snapshotTurns->pass();
    }
    const double pause = std::max(kSnapshotInterval, seconds / kSnapshotShare);
    snapshotGate_ =
        services_.runLoop->scheduleTimer(pause, [alive = std::weak_ptr<bool>(alive_), this] {
            if (const auto a = alive.lock(); a && *a) {
                startSnapshotWhenDue();
            }
        });
}

void SigningSession::beginSending(std::uint8_t kind, PixelRect area) {
    Sending s;
    s.kind = kind;
    const int t = Image::kTileSize;
    for (int y = area.y / t * t; y < area.bottom(); y += t) {
        for (int x = area.x / t * t; x < area.right(); x += t) {
            s.tiles.push_back(PixelRect{x, y, t, t}.intersected(area));
        }
    }
    s.of = pad_->image() ? pad_->image()->identity() : 0;
    sending_ = std::move(s);
    const std::shared_ptr<SnapshotTurns> turns = settings_.snapshotTurns;
    if (kind != kSnapshotMessage || !turns) {
        later(&SigningSession::sendTile);
        return;
    }
    // Its first tile when its turn comes, on this session's loop; a session gone by then
    // passes the turn on.
    turns->take([loop = services_.runLoop, alive = std::weak_ptr<bool>(alive_), this, turns] {
        loop->post([alive, this, turns] {
            if (const auto a = alive.lock(); a && *a) {
                holdsTurn_ = true;
                sendTile();
            } else {
                turns->pass();
            }
        });
    });
}

void SigningSession::sendTile() {
    Sending& s = *sending_;
    const auto start = Clock::now();
    const std::uint64_t shows = pad_->image() ? pad_->image()->identity() : 0;
    if (s.kind == kSnapshotMessage && shows != s.of && s.restarts < 2) {
        // The controller repainted the pad meanwhile (a smoothing redraw): the tiles sent so
        // far are of another picture, so the page is sent them all again. (A patch goes on:
        // the next flush sends what changed since it began.)
        ++s.restarts;
        s.of = shows;
        s.next = 0;
    }
    sendPatch(s.kind, s.tiles[s.next++]);
    s.seconds += secondsSince(start);
    if (s.next < s.tiles.size()) {
        later(&SigningSession::sendTile);
        return;
    }
    const Sending sent = std::move(s);
    sending_.reset();
    if (sent.kind == kSnapshotMessage) {
        snapshotSent(sent.seconds);
    } else {
        sendState();
    }
    while (!held_.empty() && !sending_) {
        const ClientMessage message = std::move(held_.front());
        held_.pop_front();
        try {
            handle(message);
        } catch (const ProtocolError& e) {
            held_.clear();
            sink_.refuse(e.what());
            return;
        }
    }
    startSnapshotWhenDue();
}

void SigningSession::touch(const ClientMessage& message) {
    static constexpr host::StrokePhase kPhases[] = {host::StrokePhase::down,
                                                    host::StrokePhase::move, host::StrokePhase::up,
                                                    host::StrokePhase::cancel};
    if (const MaybeFailure refused = input_->feed(kPhases[static_cast<int>(message.type)],
                                                  message.pointer, message.samples)) {
        throw ProtocolError(refused->message);
    }
    workSamples_ += message.samples.size();
}

void SigningSession::note(const std::string& line) {
    sink_.log(line);
}

void SigningSession::resync() {
    sentImage_.reset();
    sentState_.clear();
}

void SigningSession::doneFailed(const char* code, const std::string& why) {
    if (!why.empty()) {
        note("Done saved nothing: " + why);
    }
    sink_.sendText(Json{{"type", "done"}, {"ok", false}, {"code", code}}.dump());
}

void SigningSession::done() {
    PenwellViewController& c = *controller_;
    if (!c.isSignature()) {
        doneFailed(kDoneTooShort);
        return;
    }
    if (settings_.document && !documentShown_) {
        // The signer must have seen what they sign: a page that could not draw the document
        // never says it did.
        doneFailed(kDoneNotShown, "the page never reported the document shown");
        return;
    }
    host::BundleSettings bundleSettings;
    bundleSettings.signer = settings_.signer;
    bundleSettings.recipients = settings_.recipients;
    if (const auto& document = settings_.document) {
        bundleSettings.documentSha256 = document->digest();
        bundleSettings.fields.push_back({kDocumentShownField,
                                         "page " + std::to_string(*documentShown_) +
                                             ", drawn on the signing page before Done"});
        bundleSettings.signDocument = [&document](PenwellViewController& controller,
                                                  const Bytes& evidence) {
            return document->sign(controller, evidence);
        };
    }
    Result<host::SignatureBundle> made = host::exportBundle(c, *services_.graphics, bundleSettings);
    if (!made) {
        const Failure& failure = made.error();
        // The server was started without the receiver's certificate: nothing the page can fix.
        const bool noCertificate =
            failure.domain == host::kBundleErrorDomain &&
            failure.code == static_cast<std::int64_t>(host::BundleError::noCertificate);
        doneFailed(kDoneNotSaved, noCertificate ? "the server cannot export: no usable "
                                                  "Penwell.dat (start it with --resources)"
                                                : failure.message);
        return;
    }
    const host::SignatureBundle& bundle = *made;
    Json reply{{"type", "done"}, {"ok", true}};
    reply["sigma"] = statistic(bundle.sigma);
    reply["sigma2"] = statistic(bundle.sigma2);
    reply["samples"] = bundle.samples;
    if (settings_.out) {
        // All or nothing: the files appear together or not at all.
        const Result<std::string> written = host::writeBundle(bundle, *settings_.out);
        if (!written) {
            // The signer keeps the signature on the pad and may press Done again.
            doneFailed(kDoneNotSaved, written.error().message);
            return;
        }
        if (bundle.signedDocument) {
            reply["document"] = *written + host::kSignedDocumentExtension;
        }
        reply["name"] = *written;
        note("saved " + *written);
        c.clearSignature();
    } else {
        reply["files"] = {
            {{"name", "signature.data"}, {"base64", openssl::base64(bundle.data)}},
            {{"name", "signature.key"}, {"base64", openssl::base64(bundle.key)}},
            {{"name", "signature.png"}, {"base64", openssl::base64(bundle.png)}},
            {{"name", "signature.evidence"}, {"base64", openssl::base64(bundle.evidence)}}};
        if (bundle.signedDocument) {
            reply["files"].push_back(
                {{"name", "signed.pdf"}, {"base64", openssl::base64(*bundle.signedDocument)}});
        }
    }
    if (!settings_.demoWarning.empty()) {
        sink_.log("warning: " + settings_.demoWarning);
    }
    sink_.sendText(reply.dump());
}

Image SigningSession::shownImage(PixelRect area) {
    const std::uint32_t bg = opaqueBackground(pad_->backgroundColor());
    std::vector<std::uint32_t> pixels(
        static_cast<std::size_t>(area.width) * static_cast<std::size_t>(area.height), 0);
    const auto stride = static_cast<std::size_t>(area.width);
    if (scale_ == 1) {
        // At one pixel per point the pad's own bitmap is the picture.
        if (const auto& image = pad_->image()) {
            image->copyPixels(area, pixels.data(), stride);
        }
    } else {
        // On a denser screen the controller paints the ink at the screen's scale, one tile of
        // the pad at a time: a tile's pixels are then the same in every patch and snapshot
        // (Cairo's antialiasing near a bitmap's edge depends on the bitmap's extent).
        const int tile = Image::kTileSize * scale_;
        const PixelRect whole{0, 0, wholePad().width * scale_, wholePad().height * scale_};
        const double s = scale_;
        for (int ty = area.y / tile * tile; ty < area.bottom(); ty += tile) {
            for (int tx = area.x / tile * tile; tx < area.right(); tx += tile) {
                const PixelRect cell = PixelRect{tx, ty, tile, tile}.intersected(whole);
                const PixelRect part = cell.intersected(area);
                const std::optional<Image> ink = controller_->getPadImage(
                    s, Rect{{cell.x / s, cell.y / s}, {cell.width / s, cell.height / s}});
                if (!ink || part.empty()) {
                    continue;
                }
                ink->copyPixels({part.x - cell.x, part.y - cell.y, part.width, part.height},
                                pixels.data() + static_cast<std::size_t>(part.y - area.y) * stride +
                                    static_cast<std::size_t>(part.x - area.x),
                                stride);
            }
        }
    }
    for (std::uint32_t& p : pixels) {
        p = host::over(p, bg);
    }
    return Image::fromPixels(area.width, area.height, pixels.data(),
                             static_cast<std::size_t>(area.width));
}

PixelRect SigningSession::wholePad() const {
    return {0, 0, static_cast<int>(settings_.size.width), static_cast<int>(settings_.size.height)};
}

void SigningSession::sendPatch(std::uint8_t kind, PixelRect area) {
    if (area.empty()) {
        return;
    }
    if (scale_ != 1) {
        // What changed is found on the pad's own bitmap, in whole tiles: the same tiles at the
        // page's scale.
        area = {area.x * scale_, area.y * scale_, area.width * scale_, area.height * scale_};
    }
    const Image shown = shownImage(area);
    const std::optional<Bytes> png = services_.graphics->encodePng(shown);
    if (!png) {
        return;
    }
    std::string message(kPatchHeaderSize, '\0');
    message[0] = static_cast<char>(kind);
    const std::uint64_t values[] = {
        static_cast<std::uint64_t>(area.x), static_cast<std::uint64_t>(area.y),
        static_cast<std::uint64_t>(area.width), static_cast<std::uint64_t>(area.height),
        lastSeq_ & 0xffffffffu};
    static_assert(std::size(values) == std::size(kPatchFields));
    for (std::size_t f = 0; f < std::size(kPatchFields); ++f) {
        for (std::size_t b = 0; b < kPatchFields[f].bytes; ++b) {
            message[kPatchFields[f].offset + b] = static_cast<char>((values[f] >> (8 * b)) & 0xff);
        }
    }
    message.append(reinterpret_cast<const char*>(png->data()), png->size());
    sink_.sendBinary(std::move(message));
}

void SigningSession::flush() {
    if (sending_) {
        return;  // the picture's last tile is followed by the state; the next flush goes on
    }
    const auto start = Clock::now();
    std::optional<PixelRect> area;
    if (const auto& image = pad_->image()) {
        if (!sentImage_ || image->identity() != sentImage_->identity()) {
            area = changedSince(*image, sentImage_);
            sentImage_ = image;
        }
    } else if (sentImage_) {
        // The pad lost its image: the page shows the bare background again.
        area = wholePad();
        sentImage_.reset();
    }
    if (area && area->width * area->height * scale_ * scale_ > kInlinePixels) {
        beginSending(kPatchMessage, *area);
    } else {
        if (area) {
            sendPatch(kPatchMessage, *area);
        }
        sendState();
    }
    workSeconds_ += secondsSince(start);
}

void SigningSession::sendState() {
    PenwellViewController& c = *controller_;
    const std::string state = Json{
        {"type", "state"},
        {"samples", heldSamples()},
        {"strokes", c.lines().size()},
        {"signature", c.isSignature()},
        {"seq", lastSeq_}}.dump();
    if (state != sentState_) {
        sink_.sendText(state);
        sentState_ = state;
    }
}

std::pair<double, std::size_t> SigningSession::takeWork() {
    return {std::exchange(workSeconds_, 0.0), std::exchange(workSamples_, 0)};
}

}  // namespace penwell::web
