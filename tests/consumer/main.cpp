#include <penwell/capture/Penwell.h>
#include <penwell/platform/Defaults.h>

#include <cstdio>
#include <string_view>

// With the argument "seal" it also exports a signature's data, which needs Penwell.dat from
// the library's default resource folder: the installed share/penwell, wherever it is.
int main(int argc, char** argv) {
    penwell::headless::HeadlessHost host;
    penwell::ServiceOptions options;
    options.memoryStore = true;  // never the user's own certificate store
    penwell::PenwellViewController controller(penwell::headlessServices(host, options));
    controller.setSigImage(std::make_shared<penwell::ImageView>(penwell::Rect{{0, 0}, {64, 32}}));
    controller.viewWillAppear(false);
    host.runLoop->runPending();
    const bool ok = controller.sigImage()->image() && controller.sigImage()->image()->width() == 64;
    std::puts(ok ? "consumer ok" : "consumer failed");
    if (!ok || argc < 2 || std::string_view(argv[1]) != "seal") {
        return ok ? 0 : 1;
    }
    for (int i = 0; i < 20; ++i) {
        const penwell::Touch touch{{2.0 + 2 * i, 16.0}, 0.01 * i, 0.0,
                                   penwell::touch_type::kDirect};
        const penwell::TouchSet touches({touch});
        if (i == 0) {
            controller.touchesBegan(touches, penwell::Event());
        } else {
            controller.touchesMoved(touches, penwell::Event());
        }
    }
    controller.touchesEnded(penwell::TouchSet({penwell::Touch{{42, 16}, 0.2, 0.0, 0}}),
                            penwell::Event());
    host.runLoop->runPending();
    std::optional<penwell::Bytes> key;
    const auto data = controller.getSignatureData(&key);
    std::puts(data && key ? "sealed" : "not sealed");
    return data && key ? 0 : 1;
}
