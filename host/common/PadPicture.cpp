#include "penwell/host/common/PadPicture.h"

namespace penwell::host {

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

}  // namespace penwell::host
