#include <capture/Penwell.h>
#include <platform/Defaults.h>

#include <cstdio>

int main() {
    penwell::headless::HeadlessHost host;
    penwell::PenwellViewController controller(penwell::headlessServices(host));
    controller.setSigImage(std::make_shared<penwell::ImageView>(penwell::Rect{{0, 0}, {64, 32}}));
    controller.viewWillAppear(false);
    host.runLoop->runPending();
    const bool ok = controller.sigImage()->image() && controller.sigImage()->image()->width() == 64;
    std::puts(ok ? "consumer ok" : "consumer failed");
    return ok ? 0 : 1;
}
