// What a signing page sends to `penwell serve`, one message per line, as a session receives
// them: parsed and validated, then fed to a real controller. A malformed or out-of-order
// message must end in a refusal (the server closes that session); everything else must run
// without crashing, hanging or undefined behaviour.

#include <cstdint>
#include <string_view>

#include "penwell/platform/headless/Headless.h"
#include "penwell/host/web/Session.h"

using namespace penwell;

namespace {

class NullSink final : public web::Sink {
public:
    void sendText(std::string) override {}
    void sendBinary(std::string) override {}
    void refuse(const std::string&) override {}  // a held message's fault: the session closes
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    web::PadSettings settings;
    settings.size = {200, 100};
    settings.services.resources = PENWELL_DEMO_CERTIFICATE_DIR;
    settings.samplesPerSession = 2000;
    settings.operatorControls = true;  // the smoothing and ink width settings are fed too
    auto loop = std::make_shared<headless::ManualRunLoop>();
    NullSink sink;
    web::SigningSession session(settings, loop, sink);
    loop->runPending();
    while (!input.empty()) {
        const std::size_t end = input.find('\n');
        if (session.receive(input.substr(0, end))) {
            break;  // the server closes the session
        }
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        loop->advance(0.05);  // lets the smoothing redraw fire now and then
        session.flush();
    }
    return 0;
}
