// What a session sends the page to paint: patches of what changed, snapshots of the whole pad
// on request, large pictures tile by tile, and the state message after each.

#include <nlohmann/json.hpp>

#include "penwell/host/common/PadPicture.h"
#include "penwell/host/web/Session.h"
#include "penwell/host/web/SessionClock.h"
#include "penwell/platform/Graphics.h"

namespace penwell::web {

using host::opaqueBackground;

namespace {

using Json = nlohmann::json;
using Clock = SessionClock;

}  // namespace

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
        if (const MaybeFailure refused = handle(message)) {
            held_.clear();
            sink_.refuse(refused->message);
            return;
        }
    }
    startSnapshotWhenDue();
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

}  // namespace penwell::web
