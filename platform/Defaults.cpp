#include "platform/Defaults.h"

#include <algorithm>

#include "platform/cairo/CairoGraphics.h"

namespace penwell {

Services headlessServices(const headless::HeadlessHost& host) {
    Services services;
    services.graphics = cairo::makeGraphics();
    services.application = host.application;
    services.device = host.device;
    services.runLoop = host.runLoop;
    return services;
}

Image renderView(Graphics& graphics, const ImageView& view) {
    const Rect bounds = view.bounds();
    auto context = graphics.beginImageContext(bounds.size);
    if (const auto& color = view.backgroundColor()) {
        const auto c = color->components();
        const bool rgb = color->numberOfComponents() >= 3;
        const double a = color->alpha();
        auto channel = [a](double v) {
            return static_cast<std::uint32_t>(std::clamp(v * a, 0.0, 1.0) * 255.0 + 0.5);
        };
        const std::uint32_t pixel = channel(1.0) << 24 | channel(c[0]) << 16 |
                                    channel(rgb ? c[1] : c[0]) << 8 | channel(rgb ? c[2] : c[0]);
        // A one-pixel image stretched over the view paints its background colour.
        context->drawImage(Image::fromPixels(1, 1, &pixel, 1), bounds);
    }
    if (const auto& image = view.image()) {
        context->drawImage(*image, bounds);
    }
    return context->makeImage();
}

}  // namespace penwell
