// What PenwellWidget shows: the pad's own pixels at ratio 1, its ink painted again at a denser
// screen's ratio, and which part of it to repaint after a change.

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <array>
#include <cmath>

#include "penwell/host/common/PadPicture.h"
#include "penwell/host/qt/PenwellWidget.h"

namespace penwell::qt {

namespace {

constexpr int kTile = Image::kTileSize;
/// Points painted around a tile at a screen's scale and thrown away (see scaledTile()).
constexpr double kTileMargin = 16.0;

/// The pixels of `part` of `image` (in its pixels), painted with their top-left corner at
/// `at` + part's corner / scale, in logical pixels: each tile is handed to Qt as it is, without
/// a copy (the pad's premultiplied ARGB32 is QImage's Format_ARGB32_Premultiplied).
void drawPixels(QPainter& painter, const Image& image, PixelRect part, QPointF at, double scale) {
    part = part.intersected({0, 0, image.width(), image.height()});
    for (int y = part.y / kTile * kTile; y < part.bottom(); y += kTile) {
        for (int x = part.x / kTile * kTile; x < part.right(); x += kTile) {
            const std::uint32_t* pixels = image.tilePixels(x, y);
            if (pixels == nullptr) {
                continue;  // transparent: the background shows
            }
            const PixelRect piece = PixelRect{x, y, kTile, kTile}.intersected(part);
            const QImage tile(reinterpret_cast<const uchar*>(pixels), kTile, kTile,
                              kTile * static_cast<int>(sizeof(std::uint32_t)),
                              QImage::Format_ARGB32_Premultiplied);
            const QRectF target(at.x() + piece.x / scale, at.y() + piece.y / scale,
                                piece.width / scale, piece.height / scale);
            painter.drawImage(target, tile,
                              QRectF(piece.x - x, piece.y - y, piece.width, piece.height));
        }
    }
}

/// The pixels of `changed` (whole tiles, from host::changedSince) that really differ between
/// the two images: a sample's segment touches a few pixels of a tile, and repainting only
/// those keeps the paint and the window system's flush as small as a bare widget's.
PixelRect exactChange(const Image& now, const Image& before, PixelRect changed) {
    PixelRect exact;
    for (int y = changed.y; y < changed.bottom(); y += kTile) {
        for (int x = changed.x; x < changed.right(); x += kTile) {
            if (now.sharesTileWith(before, x, y)) {
                continue;
            }
            // A null tile is a transparent one.
            static const std::array<std::uint32_t, kTile * kTile> transparent{};
            const std::uint32_t* a = now.tilePixels(x, y);
            const std::uint32_t* b = before.tilePixels(x, y);
            a = a != nullptr ? a : transparent.data();
            b = b != nullptr ? b : transparent.data();
            int top = kTile, bottom = -1, left = kTile, right = -1;
            for (int row = 0; row < kTile; ++row) {
                const std::uint32_t* ra = a + row * kTile;
                const std::uint32_t* rb = b + row * kTile;
                if (std::equal(ra, ra + kTile, rb)) {
                    continue;
                }
                top = std::min(top, row);
                bottom = row;
                int first = 0, last = kTile - 1;
                while (ra[first] == rb[first]) {
                    ++first;
                }
                while (ra[last] == rb[last]) {
                    --last;
                }
                left = std::min(left, first);
                right = std::max(right, last);
            }
            if (bottom >= 0) {
                exact = exact.united({x + left, y + top, right - left + 1, bottom - top + 1});
            }
        }
    }
    return exact.intersected(changed);
}

}  // namespace

void PenwellWidget::refresh() {
    const std::optional<Image>& image = pad_->image();
    PixelRect changed;
    if (image) {
        if (shown_ && image->identity() == shown_->identity()) {
            return;
        }
        changed = host::changedSince(*image, shown_);
        if (shown_ && paintScale() == 1.0) {
            // At other ratios the tiles are painted again from the strokes, whose pixels may
            // differ where the pad's do not: there the whole tiles are repainted.
            changed = exactChange(*image, *shown_, changed);
        }
        shown_ = image;
    } else if (shown_) {
        // The pad lost its image: the bare background again.
        changed = {0, 0, shown_->width(), shown_->height()};
        shown_.reset();
    } else {
        return;
    }
    for (auto it = scaled_.begin(); it != scaled_.end();) {
        const PixelRect tile{it->first.first * kTile, it->first.second * kTile, kTile, kTile};
        it = tile.intersected(changed).empty() ? std::next(it) : scaled_.erase(it);
    }
    update(QRect(padRect().topLeft() + QPoint(changed.x, changed.y),
                 QSize(changed.width, changed.height)));
}

const Image* PenwellWidget::scaledTile(int column, int row, double scale) {
    const auto key = std::make_pair(column, row);
    if (const auto it = scaled_.find(key); it != scaled_.end()) {
        return &it->second;
    }
    // The controller paints the ink at the screen's scale (vectors, never a stretched bitmap).
    // Cairo rasterises a path cut by a bitmap's edge a little differently near that edge, so
    // each tile is painted with a margin of kTileMargin points and cut out of that: its pixels
    // are then the whole picture's, however the repaints fall.
    const Size size = pad_->frame().size;
    const double x = column * kTile, y = row * kTile;
    const double left = std::max(0.0, x - kTileMargin), top = std::max(0.0, y - kTileMargin);
    const double right = std::min(size.width, x + kTile + kTileMargin);
    const double bottom = std::min(size.height, y + kTile + kTileMargin);
    const std::optional<Image> painted =
        controller_->getPadImage(scale, Rect{{left, top}, {right - left, bottom - top}});
    if (!painted) {
        return nullptr;
    }
    const auto px = [scale](double points) {
        return static_cast<int>(std::lround(points * scale));
    };
    const Image tile =
        painted->cropped({px(x - left), px(y - top), px(std::min<double>(kTile, size.width - x)),
                          px(std::min<double>(kTile, size.height - y))});
    return &scaled_.emplace(key, tile).first->second;
}

void PenwellWidget::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect area = event->rect();
    const QRect padArea = padRect();
    painter.fillRect(area, palette().window());
    const QRect shownPad = area & padArea;
    if (shownPad.isEmpty()) {
        return;
    }
    painter.fillRect(shownPad, QColor::fromRgb(host::opaqueBackground(pad_->backgroundColor())));
    const std::optional<Image>& image = pad_->image();
    if (!image) {
        return;
    }
    const double scale = paintScale();
    if (scale != cachedScale_) {
        scaled_.clear();  // another screen: the ink is painted again at its ratio
        cachedScale_ = scale;
    }
    const QRect local = shownPad.translated(-padArea.topLeft());
    const PixelRect wanted{local.x(), local.y(), local.width(), local.height()};
    if (scale == 1.0) {
        // At one pixel per point the pad's own bitmap is the picture.
        drawPixels(painter, *image, wanted, padArea.topLeft(), 1.0);
        return;
    }
    for (int row = wanted.y / kTile; row * kTile < wanted.bottom(); ++row) {
        for (int column = wanted.x / kTile; column * kTile < wanted.right(); ++column) {
            if (const Image* tile = scaledTile(column, row, scale)) {
                drawPixels(painter, *tile, {0, 0, tile->width(), tile->height()},
                           QPointF(padArea.x() + column * kTile, padArea.y() + row * kTile), scale);
            }
        }
    }
}

}  // namespace penwell::qt
