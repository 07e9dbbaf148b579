#include "penwell/platform/Image.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace penwell {

namespace {

std::uint64_t newIdentity() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

std::shared_ptr<const Image::Tile> copyTile(const std::uint32_t* pixels, std::size_t stride, int x0,
                                            int y0, int width, int height) {
    auto tile = std::make_shared<Image::Tile>();
    tile->fill(0);
    const int w = std::min(Image::kTileSize, width - x0);
    const int h = std::min(Image::kTileSize, height - y0);
    for (int y = 0; y < h; ++y) {
        std::memcpy(tile->data() + static_cast<std::size_t>(y) * Image::kTileSize,
                    pixels + static_cast<std::size_t>(y0 + y) * stride + x0,
                    static_cast<std::size_t>(w) * sizeof(std::uint32_t));
    }
    return tile;
}

}  // namespace

Image Image::filledWith(const Color& color) {
    const auto c = color.components();
    const bool rgb = color.numberOfComponents() >= 3;
    const double a = unitComponent(color.alpha());
    auto channel = [a](double v) {
        return static_cast<std::uint32_t>(unitComponent(v * a) * 255.0 + 0.5);
    };
    const std::uint32_t pixel = channel(1.0) << 24 | channel(c[0]) << 16 |
                                channel(rgb ? c[1] : c[0]) << 8 | channel(rgb ? c[2] : c[0]);
    return fromPixels(1, 1, &pixel, 1);
}

Image::Image(int width, int height)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      changed_{0, 0, width_, height_},
      identity_(newIdentity()) {
    const int rows = (height_ + kTileSize - 1) / kTileSize;
    if (width_ > 0) {
        auto empty = std::make_shared<const Row>(static_cast<std::size_t>(columns()));
        rows_.assign(static_cast<std::size_t>(rows), empty);
    }
}

Image Image::transparent(int width, int height) {
    return Image(width, height);
}

Image Image::fromPixels(int width, int height, const std::uint32_t* pixels, std::size_t stride) {
    return snapshot(pixels, stride, width, height, nullptr, {});
}

Image Image::snapshot(const std::uint32_t* pixels, std::size_t stride, int width, int height,
                      const Image* previous, PixelRect changed) {
    Image image(width, height);
    const PixelRect bounds{0, 0, image.width_, image.height_};
    const bool incremental = previous != nullptr && previous->width_ == image.width_ &&
                             previous->height_ == image.height_;
    if (!incremental) {
        changed = bounds;
    }
    changed = changed.intersected(bounds);
    image.changed_ = changed;
    if (incremental) {
        image.rows_ = previous->rows_;
    }
    if (changed.empty()) {
        return image;
    }
    const int firstRow = changed.y / kTileSize, lastRow = (changed.bottom() - 1) / kTileSize;
    const int firstCol = changed.x / kTileSize, lastCol = (changed.right() - 1) / kTileSize;
    for (int r = firstRow; r <= lastRow; ++r) {
        auto row = std::make_shared<Row>(*image.rows_[static_cast<std::size_t>(r)]);
        for (int c = firstCol; c <= lastCol; ++c) {
            (*row)[static_cast<std::size_t>(c)] =
                copyTile(pixels, stride, c * kTileSize, r * kTileSize, width, height);
        }
        image.rows_[static_cast<std::size_t>(r)] = std::move(row);
    }
    return image;
}

const Image::Tile* Image::tileAt(int x, int y) const {
    const auto& row = *rows_[static_cast<std::size_t>(y / kTileSize)];
    return row[static_cast<std::size_t>(x / kTileSize)].get();
}

const std::uint32_t* Image::tilePixels(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) {
        return nullptr;
    }
    const Tile* tile = tileAt(x, y);
    return tile == nullptr ? nullptr : tile->data();
}

std::uint32_t Image::premultipliedPixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) {
        return 0;
    }
    const Tile* tile = tileAt(x, y);
    if (tile == nullptr) {
        return 0;
    }
    return (*tile)[static_cast<std::size_t>((y % kTileSize) * kTileSize + x % kTileSize)];
}

Rgba Image::pixel(int x, int y) const {
    const std::uint32_t p = premultipliedPixel(x, y);
    const auto a = static_cast<std::uint8_t>(p >> 24);
    if (a == 0) {
        return {};
    }
    auto un = [a](std::uint32_t c) {
        return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (c * 255 + a / 2) / a));
    };
    return {un((p >> 16) & 0xff), un((p >> 8) & 0xff), un(p & 0xff), a};
}

void Image::copyPixels(PixelRect area, std::uint32_t* destination, std::size_t stride) const {
    const PixelRect clipped = area.intersected({0, 0, width_, height_});
    for (int y = clipped.y; y < clipped.bottom(); ++y) {
        std::uint32_t* out = destination + static_cast<std::size_t>(y - area.y) * stride;
        for (int x = clipped.x; x < clipped.right();) {
            const int runEnd = std::min(clipped.right(), (x / kTileSize + 1) * kTileSize);
            const Tile* tile = tileAt(x, y);
            const std::size_t count = static_cast<std::size_t>(runEnd - x);
            std::uint32_t* target = out + (x - area.x);
            if (tile == nullptr) {
                std::fill_n(target, count, 0u);
            } else {
                std::memcpy(target, tile->data() + (y % kTileSize) * kTileSize + x % kTileSize,
                            count * sizeof(std::uint32_t));
            }
            x = runEnd;
        }
    }
}

Image Image::cropped(PixelRect area) const {
    const PixelRect clipped = area.intersected({0, 0, width_, height_});
    if (clipped.empty()) {
        return Image();
    }
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(clipped.width) *
                                      static_cast<std::size_t>(clipped.height));
    copyPixels(clipped, pixels.data(), static_cast<std::size_t>(clipped.width));
    return fromPixels(clipped.width, clipped.height, pixels.data(),
                      static_cast<std::size_t>(clipped.width));
}

bool Image::samePixels(const Image& other) const {
    if (width_ != other.width_ || height_ != other.height_) {
        return false;
    }
    for (int y = 0; y < height_; ++y) {
        for (int x = 0; x < width_; ++x) {
            if (premultipliedPixel(x, y) != other.premultipliedPixel(x, y)) {
                return false;
            }
        }
    }
    return true;
}

bool Image::sharesTileWith(const Image& other, int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_ || x >= other.width_ || y >= other.height_) {
        return false;
    }
    return tileAt(x, y) == other.tileAt(x, y);
}

}  // namespace penwell
