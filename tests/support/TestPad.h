#pragma once
// A controller on a headless host with a manual clock, and small pixel helpers.

#include <filesystem>
#include <limits>
#include <memory>

#include "penwell/capture/Penwell.h"
#include "penwell/platform/Defaults.h"

namespace penwell::testing {

struct TestPad {
    explicit TestPad(Size size = {300, 400});

    /// A new controller whose certificate store and resource folder (holding the demo
    /// certificate as Penwell.dat) live in `folder`, so exports install nothing elsewhere.
    void useScratchCertificates(const std::filesystem::path& folder);

    /// viewWillAppear, then the posted clear.
    void show();

    /// Touch events at pad coordinates (the pad sits at the origin of the controller's view).
    void down(Point p, double time, double force = 0.0, std::int64_t type = touch_type::kDirect);
    /// One moved event whose coalesced touches are `touches`.
    void move(std::vector<Touch> touches);
    void move(Point p, double time, double force = 0.0, std::int64_t type = touch_type::kDirect);
    void up(Point p, double time, double force = 0.0, std::int64_t type = touch_type::kDirect);

    headless::HeadlessHost host;
    Services services;
    std::shared_ptr<ImageView> pad;
    std::unique_ptr<PenwellViewController> controller;
};

/// An opaque image of one colour.
Image solidImage(int width, int height, Rgba color);

/// Whether a pixel is fully transparent.
inline bool clear(const Image& image, int x, int y) {
    return image.pixel(x, y).a == 0;
}

}  // namespace penwell::testing

namespace penwell {

/// Colours and values the pad's tests share.
inline constexpr Rgba kRed{255, 0, 0, 255};
inline constexpr Rgba kBlue{0, 0, 255, 255};
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace penwell
