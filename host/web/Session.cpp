#include "host/web/Session.h"

#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

#include "host/common/HostServices.h"
#include "platform/Errors.h"
#include "platform/Graphics.h"
#include "platform/filesystem/StagedFile.h"
#include "platform/openssl/Base64.h"
#include "receiver/Record.h"
#include "secure/Evidence.h"
#include "secure/StrokeRecord.h"

namespace penwell::web {

using filesystem::StagedOutputs;
using host::hostServices;
using receiver::sampleCount;

namespace {

using Json = nlohmann::json;
/// Done's outputs, in the order they are written.
constexpr const char* kOutputExtensions[] = {".data", ".key", ".png", ".evidence"};
/// The signed document's, written with them when a document is served.
constexpr const char* kDocumentExtension = ".pdf";
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// The background as one opaque premultiplied pixel: the view's colour over the page's white.
std::uint32_t opaqueBackground(const std::optional<Color>& color) {
    double rgb[3] = {1.0, 1.0, 1.0};
    if (color) {
        const auto c = color->components();
        const bool isRgb = color->numberOfComponents() >= 3;
        const double a = unitComponent(color->alpha());
        for (int i = 0; i < 3; ++i) {
            rgb[i] = unitComponent(isRgb ? c[static_cast<std::size_t>(i)] : c[0]) * a + (1.0 - a);
        }
    }
    std::uint32_t pixel = 0xff000000u;
    for (int i = 0; i < 3; ++i) {
        pixel |= static_cast<std::uint32_t>(rgb[i] * 255.0 + 0.5) << (16 - 8 * i);
    }
    return pixel;
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

PixelRect changedSince(const Image& now, const std::optional<Image>& before) {
    const PixelRect whole{0, 0, now.width(), now.height()};
    if (!before || before->width() != now.width() || before->height() != now.height()) {
        return whole;
    }
    PixelRect changed;
    for (int y = 0; y < now.height(); y += Image::kTileSize) {
        for (int x = 0; x < now.width(); x += Image::kTileSize) {
            if (!now.sharesTileWith(*before, x, y)) {
                changed = changed.united(PixelRect{x, y, Image::kTileSize, Image::kTileSize});
            }
        }
    }
    return changed.intersected(whole);
}

std::string freshSignatureName(const std::filesystem::path& folder) {
    std::random_device random;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    for (;;) {
        char name[64];
        std::snprintf(name, sizeof name, "signature-%s-%08x", stamp, random());
        bool taken = false;
        for (const char* ext : kOutputExtensions) {
            taken = taken || std::filesystem::exists(folder / (std::string(name) + ext));
        }
        taken = taken || std::filesystem::exists(folder / (std::string(name) + kDocumentExtension));
        if (!taken) {
            return name;
        }
    }
}

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
    std::size_t n = controller_->points().size();
    for (const Stroke& s : controller_->lines()) {
        n += s.size();
    }
    return n;
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
    static constexpr const char* kNames[] = {"down", "move", "up", "cancel"};
    const char* name = kNames[static_cast<int>(message.type)];
    const bool down = message.type == MessageType::down;
    if (abandoned_ && !down) {
        // The rest of a stroke that was finished at a step back in time: the page does not
        // know, and its samples belong to no stroke.
        abandoned_ = message.type == MessageType::move;
        return;
    }
    if (down == strokeOpen_) {
        throw ProtocolError(strokeOpen_ ? std::string("down during a stroke")
                                        : std::string(name) + " without a down");
    }
    if (strokeOpen_ && message.pointer != strokePointer_) {
        throw ProtocolError(std::string(name) + ": the pointer kind changed during a stroke");
    }
    abandoned_ = false;
    // A down adds one sample, a move all of its own; an up or a cancel adds none (a tap's dot
    // adds three, which the limit's margin absorbs).
    const std::size_t adding = down                                ? 1
                               : message.type == MessageType::move ? message.samples.size()
                                                                   : 0;
    if (heldSamples() + adding > settings_.samplesPerSession) {
        throw ProtocolError("more than " + std::to_string(settings_.samplesPerSession) +
                            " samples on the pad");
    }
    workSamples_ += message.samples.size();

    // Browsers' event clocks jitter: Chromium has delivered a pointerup 5 us before the last
    // coalesced move. A small step back takes its predecessor's time, so the record stays in
    // order and nothing is dropped; a larger one ends the stroke with what it has. A down
    // starts a stroke of its own, whose times count from it.
    std::vector<Touch> touches;
    touches.reserve(message.samples.size());
    for (const Sample& s : message.samples) {
        Touch t = touchFor(message.pointer, s);
        if (!down && t.timestamp < lastTime_) {
            const double back = lastTime_ - t.timestamp;
            if (back > kTimeJitter && message.type == MessageType::move) {
                note("time went back " + std::to_string(back) +
                     " s inside a stroke: the stroke ends there, with what it had");
                if (!touches.empty()) {
                    const TouchSet set{touches.back()};
                    controller_->touchesMoved(set, Event(std::move(touches)));
                }
                finishStroke();
                abandoned_ = true;
                return;
            }
            if (back > kTimeJitter || !jitterNoted_) {
                jitterNoted_ = jitterNoted_ || back <= kTimeJitter;
                note("a sample " + std::to_string(back) +
                     " s earlier than the one before it was taken at that one's time" +
                     (back <= kTimeJitter ? " (noted once per session)" : ""));
            }
            t.timestamp = lastTime_;
        }
        lastTime_ = t.timestamp;
        touches.push_back(t);
    }
    lastTouch_ = touches.back();
    const TouchSet set{touches.back()};
    PenwellViewController& c = *controller_;
    switch (message.type) {
        case MessageType::down:
            strokeOpen_ = true;
            strokePointer_ = message.pointer;
            c.touchesBegan(set, Event());
            break;
        case MessageType::move:
            c.touchesMoved(set, Event(std::move(touches)));
            break;
        case MessageType::up:
            strokeOpen_ = false;
            c.touchesEnded(set, Event());
            break;
        default:
            strokeOpen_ = false;
            c.touchesCancelled(set, Event());
            break;
    }
}

void SigningSession::finishStroke() {
    if (strokeOpen_) {
        strokeOpen_ = false;
        controller_->touchesEnded(TouchSet{lastTouch_}, Event());
    }
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
    Json reply{{"type", "done"}};
    if (!c.isSignature()) {
        reply["ok"] = false;
        reply["reason"] = "not a signature yet: more than " + std::to_string(c.MinSigPoints()) +
                          " samples are needed";
        sink_.sendText(reply.dump());
        return;
    }
    std::optional<Bytes> key;
    std::optional<Bytes> data;
    std::optional<Bytes> evidence;
    std::optional<Bytes> signedPdf;
    std::string reason =
        "the server cannot export: no usable Penwell.dat (start it with "
        "--resources)";
    try {
        data = c.getSignatureData(&key);
        if (!data || !key) {
            if (const auto& failure = c.lastExportFailure()) {
                reason = failure->message;
            }
        } else {
            // Bound to the document when one is signed; else the pad does not know what is
            // being signed, and the record is bound to no document.
            EvidenceOptions options;
            options.signer = settings_.signer;
            options.recipients = settings_.recipients;
            if (settings_.document) {
                options.documentSha256 = settings_.document->digest();
            }
            Result<Bytes> sealed = c.exportEvidence(options);
            if (sealed) {
                evidence = std::move(*sealed);
            } else {
                reason = sealed.error().message;
            }
            if (evidence && settings_.document) {
                Result<Bytes> sealedPdf = settings_.document->sign(c, *evidence);
                if (sealedPdf) {
                    signedPdf = std::move(*sealedPdf);
                } else {
                    reason = sealedPdf.error().message;
                }
            }
        }
    } catch (const AssertionFailure&) {
        // The server was started without the receiver's certificate: nothing the page can fix.
    }
    const std::optional<Image> image = c.getSignatureImage(true);
    const std::optional<Bytes> png = image ? services_.graphics->encodePng(*image) : std::nullopt;
    if (!data || !key || !evidence || !png || (settings_.document && !signedPdf)) {
        reply["ok"] = false;
        reply["reason"] = reason;
        sink_.sendText(reply.dump());
        return;
    }
    reply["ok"] = true;
    reply["sigma"] = statistic(c.calculateSigma());
    reply["sigma2"] = statistic(c.calculateSigma2());
    reply["samples"] = sampleCount(recordOf(c.lines()));
    if (settings_.out) {
        // All or nothing: the files appear together or not at all.
        const std::string name = freshSignatureName(*settings_.out);
        StagedOutputs outputs;
        const Bytes* contents[] = {&*data, &*key, &*png, &*evidence};
        static_assert(std::size(contents) == std::size(kOutputExtensions));
        MaybeFailure failed;
        for (std::size_t i = 0; i < std::size(contents) && !failed; ++i) {
            failed = outputs.stage(*settings_.out / (name + kOutputExtensions[i]), *contents[i]);
        }
        if (!failed && signedPdf) {
            failed = outputs.stage(*settings_.out / (name + kDocumentExtension), *signedPdf);
            reply["document"] = name + kDocumentExtension;
        }
        if (!failed) {
            failed = outputs.commitAll();
        }
        if (failed) {
            // The signer keeps the signature on the pad and may press Done again.
            sink_.sendText(
                Json{{"type", "done"}, {"ok", false}, {"reason", failed->message}}.dump());
            return;
        }
        reply["name"] = name;
        c.clearSignature();
    } else {
        reply["files"] = {{{"name", "signature.data"}, {"base64", openssl::base64(*data)}},
                          {{"name", "signature.key"}, {"base64", openssl::base64(*key)}},
                          {{"name", "signature.png"}, {"base64", openssl::base64(*png)}},
                          {{"name", "signature.evidence"}, {"base64", openssl::base64(*evidence)}}};
        if (signedPdf) {
            reply["files"].push_back(
                {{"name", "signed.pdf"}, {"base64", openssl::base64(*signedPdf)}});
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
        // Premultiplied source over an opaque background.
        const std::uint32_t keep = 255 - (p >> 24);
        std::uint32_t out = 0xff000000u;
        for (int shift = 0; shift < 24; shift += 8) {
            const std::uint32_t s = (p >> shift) & 0xff, b = (bg >> shift) & 0xff;
            out |= std::min<std::uint32_t>(255, s + (b * keep + 127) / 255) << shift;
        }
        p = out;
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
