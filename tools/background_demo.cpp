// Shows the blank pad for each device kind and orientation as PNG files, the way a person
// would see it: the background colour with the background picture on top.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/Penwell.h"
#include "platform/Defaults.h"
#include "platform/cairo/CairoGraphics.h"

namespace {

/// A background picture: a light band with a dark signing line near its bottom.
penwell::Image signingLine(penwell::Graphics& graphics, double width, double height) {
    auto context = graphics.beginImageContext({width, height});
    context->setLineCap(penwell::LineCap::Butt);
    context->setRGBStrokeColor(0.2, 0.2, 0.2, 1.0);
    context->setLineWidth(2.0);
    context->beginPath();
    context->moveToPoint({width * 0.08, height - 12});
    context->addLineToPoint({width * 0.92, height - 12});
    context->strokePath();
    context->setRGBStrokeColor(0.85, 0.1, 0.1, 1.0);
    context->setLineWidth(3.0);
    context->beginPath();
    context->moveToPoint({width * 0.08, height - 30});
    context->addLineToPoint({width * 0.08 + 14, height - 16});
    context->moveToPoint({width * 0.08 + 14, height - 30});
    context->addLineToPoint({width * 0.08, height - 16});
    context->strokePath();
    return context->makeImage();
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path out = argc > 1 ? argv[1] : "out";
    std::filesystem::create_directories(out);

    struct Kind {
        const char* name;
        std::int64_t idiom;
        penwell::Size portrait;
    };
    const std::vector<Kind> kinds = {{"phone", penwell::UIUserInterfaceIdiomPhone, {320, 480}},
                                     {"pad", penwell::UIUserInterfaceIdiomPad, {768, 1024}}};
    for (const Kind& kind : kinds) {
        for (const bool portrait : {true, false}) {
            penwell::headless::HeadlessHost host;
            host.device->setUserInterfaceIdiom(kind.idiom);
            host.application->setStatusBarOrientation(
                portrait ? penwell::orientation::kPortrait : penwell::orientation::kLandscapeLeft);
            auto services = penwell::headlessServices(host);
            const penwell::Size size =
                portrait ? kind.portrait : penwell::Size{kind.portrait.height, kind.portrait.width};
            penwell::PenwellViewController controller(services);
            auto pad = std::make_shared<penwell::ImageView>(penwell::Rect{{0, 0}, size});
            controller.setSigImage(pad);
            controller.setIbackcolor(penwell::Color::rgb(0.97, 0.96, 0.90));
            const auto picture = signingLine(*services.graphics, size.width, 80);
            if (kind.idiom == penwell::UIUserInterfaceIdiomPad) {
                controller.setIpadport(picture);
                controller.setIpadportY(static_cast<int>(size.height) - 160);
                controller.setIpadland(picture);
                controller.setIpadlandY(static_cast<int>(size.height) - 120);
            } else {
                controller.setIphoneport(picture);
                controller.setIphoneportY(static_cast<int>(size.height) - 120);
                controller.setIphoneland(picture);
                controller.setIphonelandY(static_cast<int>(size.height) - 100);
            }
            controller.viewWillAppear(false);
            host.runLoop->runPending();  // the posted clear paints the pad

            const auto file = out / (std::string("pad-") + kind.name +
                                     (portrait ? "-portrait" : "-landscape") + ".png");
            if (!penwell::cairo::writePng(penwell::renderView(*services.graphics, *pad), file)) {
                std::fprintf(stderr, "cannot write %s\n", file.c_str());
                return 1;
            }
            std::printf("wrote %s\n", file.c_str());
        }
    }
    return 0;
}
