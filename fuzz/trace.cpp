// Trace files as `penwell replay` reads them: parsed, validated, replayed through a real
// controller and exported as images. Bad traces must be refused with a failure; good ones
// must replay without crashing, hanging or undefined behaviour.

#include <cstdint>
#include <string_view>

#include "penwell/fuzz/FuzzServices.h"
#include "penwell/host/common/Replay.h"
#include "penwell/host/common/SignatureBundle.h"
#include "penwell/host/common/Trace.h"

using namespace penwell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    const Result<host::Trace> trace = host::parseTrace(json, "fuzz.json");
    // A refusal is the expected answer to a bad trace. Large pads only cost memory and time per
    // input; the graphics tests cover them.
    if (!trace || trace->padFrame.size.width * trace->padFrame.size.height > 512.0 * 512.0) {
        return 0;
    }
    host::ReplaySettings settings;  // without a store file: a throwaway one in memory
    settings.services.resources = PENWELL_DEMO_CERTIFICATE_DIR;
    host::Replay replay(*trace, settings);
    replay.run([&] {
        // No signature to export is answered as a failure, the documented answer.
        (void)renderView(replay.graphics(), replay.pad());
        host::BundleSettings pictures;
        pictures.record = pictures.picture = pictures.evidence = false;
        pictures.image = pictures.cropped = true;
        (void)host::exportBundle(replay.controller(), replay.graphics(), pictures);
    });
    return 0;
}
