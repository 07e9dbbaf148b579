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

SigningSession::~SigningSession() {
    controller_->viewWillDisappear(false);
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
    const auto start = Clock::now();
    const ClientMessage message = parseClientMessage(text, settings_.limits);
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
            flush();  // the page paints what is pending before it compares
            sendPatch(kSnapshotMessage, wholePad());
            break;
        case MessageType::config:
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

void SigningSession::done() {
    PenwellViewController& c = *controller_;
    host::BundleSettings bundleSettings;
    bundleSettings.signer = settings_.signer;
    bundleSettings.recipients = settings_.recipients;
    if (const auto& document = settings_.document) {
        bundleSettings.documentSha256 = document->digest();
        bundleSettings.signDocument = [&document](PenwellViewController& controller,
                                                  const Bytes& evidence) {
            return document->sign(controller, evidence);
        };
    }
    Result<host::SignatureBundle> made = host::exportBundle(c, *services_.graphics, bundleSettings);
    if (!made) {
        const Failure& failure = made.error();
        const bool noCertificate =
            failure.domain == host::kBundleErrorDomain &&
            failure.code == static_cast<std::int64_t>(host::BundleError::noCertificate);
        // The server was started without the receiver's certificate: nothing the page can fix.
        sink_.sendText(Json{{"type", "done"},
                            {"ok", false},
                            {"reason", noCertificate ? "the server cannot export: no usable "
                                                       "Penwell.dat (start it with --resources)"
                                                     : failure.message}}
                           .dump());
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
            sink_.sendText(
                Json{{"type", "done"}, {"ok", false}, {"reason", written.error().message}}.dump());
            return;
        }
        if (bundle.signedDocument) {
            reply["document"] = *written + host::kSignedDocumentExtension;
        }
        reply["name"] = *written;
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
    const auto start = Clock::now();
    if (const auto& image = pad_->image()) {
        if (!sentImage_ || image->identity() != sentImage_->identity()) {
            sendPatch(kPatchMessage, changedSince(*image, sentImage_));
            sentImage_ = image;
        }
    } else if (sentImage_) {
        // The pad lost its image: the page shows the bare background again.
        sendPatch(kPatchMessage, wholePad());
        sentImage_.reset();
    }
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
    workSeconds_ += secondsSince(start);
}

std::pair<double, std::size_t> SigningSession::takeWork() {
    return {std::exchange(workSeconds_, 0.0), std::exchange(workSamples_, 0)};
}

}  // namespace penwell::web
