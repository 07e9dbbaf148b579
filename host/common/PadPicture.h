#pragma once
// What a signer sees of the pad, for the hosts that show it on a screen: the pad's image over
// its background colour, and which part of the pad's image changed since the host last showed
// it. Shared by the browser host, which sends the changed part as a patch, and the desktop
// widget, which repaints it.

#include <algorithm>
#include <cstdint>
#include <optional>

#include "penwell/platform/Color.h"
#include "penwell/platform/Geometry.h"
#include "penwell/platform/Image.h"

namespace penwell::host {

/// The background as one opaque premultiplied ARGB32 pixel: the view's colour over white (a
/// pad without a colour is white).
std::uint32_t opaqueBackground(const std::optional<Color>& color);

/// A premultiplied pixel over an opaque one, rounded as Cairo and Qt's raster engine round it.
inline std::uint32_t over(std::uint32_t pixel, std::uint32_t opaque) {
    const std::uint32_t keep = 255 - (pixel >> 24);
    std::uint32_t out = 0xff000000u;
    for (int shift = 0; shift < 24; shift += 8) {
        const std::uint32_t s = (pixel >> shift) & 0xff, b = (opaque >> shift) & 0xff;
        out |= std::min<std::uint32_t>(255, s + (b * keep + 127) / 255) << shift;
    }
    return out;
}

/// The part of `now` that differs from `before`: the box of the tiles they do not share (the
/// whole image when there is no `before` of the same size). Several images are made between
/// two showings, and changedRegion() only covers the step from the one before.
PixelRect changedSince(const Image& now, const std::optional<Image>& before);

}  // namespace penwell::host
