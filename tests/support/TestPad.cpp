#include "support/TestPad.h"

#include "support/CertificateFixtures.h"

#include <vector>

namespace penwell::testing {

TestPad::TestPad(Size size)
    : services(headlessServices(host)),
      pad(std::make_shared<ImageView>(Rect{{0, 0}, size})),
      controller(std::make_unique<PenwellViewController>(services)) {
    controller->setSigImage(pad);
}

void TestPad::useScratchCertificates(const std::filesystem::path& folder) {
    const auto resources = folder / "resources";
    std::filesystem::create_directories(resources);
    std::filesystem::copy_file(test::demoCertificatePath(), resources / "Penwell.dat");
    ServiceOptions options;
    options.certificateStore = folder / "store.sqlite";
    options.resources = resources;
    services = headlessServices(host, options);
    controller = std::make_unique<PenwellViewController>(services);
    controller->setSigImage(pad);
}

void TestPad::show() {
    controller->viewWillAppear(false);
    host.runLoop->runPending();
}

void TestPad::down(Point p, double time, double force, std::int64_t type) {
    const Touch t{p, time, force, type};
    controller->touchesBegan(TouchSet{t}, Event{});
}

void TestPad::move(std::vector<Touch> touches) {
    const TouchSet set{touches.back()};
    controller->touchesMoved(set, Event(std::move(touches)));
}

void TestPad::move(Point p, double time, double force, std::int64_t type) {
    move(std::vector<Touch>{Touch{p, time, force, type}});
}

void TestPad::up(Point p, double time, double force, std::int64_t type) {
    const Touch t{p, time, force, type};
    controller->touchesEnded(TouchSet{t}, Event{});
}

Image solidImage(int width, int height, Rgba c) {
    const std::uint32_t argb =
        std::uint32_t{c.a} << 24 | std::uint32_t{c.r} << 16 | std::uint32_t{c.g} << 8 | c.b;
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(width) * height, argb);
    return Image::fromPixels(width, height, pixels.data(), static_cast<std::size_t>(width));
}

}  // namespace penwell::testing
