// Trace files as `penwell replay` reads them: parsed, validated, replayed through a real
// controller and exported as images. Bad traces must be refused with a ToolError; good ones
// must replay without crashing, hanging or undefined behaviour.

#include <cstdint>
#include <string_view>

#include "fuzz/FuzzServices.h"
#include "tools/Replay.h"
#include "tools/ToolError.h"
#include "tools/Trace.h"

using namespace penwell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    try {
        const tools::Trace trace = tools::parseTrace(json, "fuzz.json");
        // Large pads only cost memory and time per input; the graphics tests cover them.
        if (trace.padFrame.size.width * trace.padFrame.size.height > 512.0 * 512.0) {
            return 0;
        }
        tools::ReplaySettings settings;  // without a store file: a throwaway one in memory
        settings.services.resources = PENWELL_DEMO_CERTIFICATE_DIR;
        tools::Replay replay(trace, settings);
        replay.run([&] {
            try {
                (void)tools::takeExports(replay, trace, {true, true, true, false, {}, {}},
                                         settings.services);
            } catch (const tools::ToolError&) {
                // no signature to export: the documented answer
            }
        });
    } catch (const tools::ToolError&) {
        // a one-line refusal is the expected answer to a bad trace
    }
    return 0;
}
