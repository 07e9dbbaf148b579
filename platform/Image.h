#pragma once
// An immutable bitmap of premultiplied 32-bit ARGB pixels (native-endian words, alpha in the
// top byte), one pixel per point.
//
// Pixels live in square tiles that are shared, never copied, when an image is copied, set on a
// view or used as the base of the next image of a drawing context. A context that takes a new
// image after stroking one short segment copies only the tiles the segment touched; the rest
// is shared with the previous image. changedRegion() tells a host which part it has to upload.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "penwell/platform/Color.h"
#include "penwell/platform/Geometry.h"

namespace penwell {

/// One pixel with its colour un-premultiplied, for reading.
struct Rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 0;
    friend bool operator==(const Rgba&, const Rgba&) = default;
};

class Image {
public:
    static constexpr int kTileSize = 64;
    using Tile = std::array<std::uint32_t, kTileSize * kTileSize>;

    /// An image of no pixels.
    Image() = default;

    /// A transparent image of the given pixel size; it allocates no pixel memory.
    static Image transparent(int width, int height);

    /// One pixel of the colour (components through unitComponent, premultiplied, rounded to
    /// 8 bits). Stretched over a rectangle with drawImage it paints the colour: that is how
    /// a view's background colour is painted, on the pad and in exports alike.
    static Image filledWith(const Color& color);

    /// Copies a block of premultiplied ARGB32 pixels; stride is in pixels.
    static Image fromPixels(int width, int height, const std::uint32_t* pixels, std::size_t stride);

    /// The next image of a drawing surface: tiles that meet `changed` are copied from the
    /// surface, all others are shared with `previous`. Without a previous image of the same
    /// size every tile is copied and the whole image counts as changed.
    static Image snapshot(const std::uint32_t* pixels, std::size_t stride, int width, int height,
                          const Image* previous, PixelRect changed);

    int width() const { return width_; }
    int height() const { return height_; }
    Size size() const { return {static_cast<double>(width_), static_cast<double>(height_)}; }

    /// The premultiplied pixel at (x, y); transparent black outside the image.
    std::uint32_t premultipliedPixel(int x, int y) const;
    /// The un-premultiplied pixel at (x, y); transparent black outside the image.
    Rgba pixel(int x, int y) const;

    /// Copies the pixels of `area` (limited to the image) to `destination`, whose stride is in
    /// pixels and whose first pixel is the area's top-left one.
    void copyPixels(PixelRect area, std::uint32_t* destination, std::size_t stride) const;

    /// The part of the image inside `area`, limited to the image (an empty image when they do
    /// not meet). The result counts as wholly changed.
    Image cropped(PixelRect area) const;

    /// The part that differs from the image the same drawing context gave before; the whole
    /// image for an image made any other way.
    PixelRect changedRegion() const { return changed_; }

    /// Copies of one image share its identity; every newly made image has its own. Cheap, so
    /// a drawing loop can tell whether a view still shows the image it set last.
    std::uint64_t identity() const { return identity_; }

    /// Whether the two images have the same size and the same pixels.
    bool samePixels(const Image& other) const;

    /// The pixels of the tile holding pixel (x, y), kTileSize rows of kTileSize, its top-left
    /// pixel first (past the image's right or bottom edge a tile's pixels are transparent);
    /// null where the tile is wholly transparent or (x, y) lies outside the image. Valid while
    /// this image or a copy of it lives: for hosts that show an image without copying it.
    const std::uint32_t* tilePixels(int x, int y) const;

    /// Whether the tile holding pixel (x, y) is the very same memory in both images.
    bool sharesTileWith(const Image& other, int x, int y) const;

private:
    using Row = std::vector<std::shared_ptr<const Tile>>;  // a null tile is transparent

    Image(int width, int height);
    int columns() const { return (width_ + kTileSize - 1) / kTileSize; }
    const Tile* tileAt(int x, int y) const;

    int width_ = 0;
    int height_ = 0;
    // Two levels, so that a new image rebuilds only the rows whose tiles changed.
    std::vector<std::shared_ptr<const Row>> rows_;
    PixelRect changed_;
    std::uint64_t identity_ = 0;
};

}  // namespace penwell
