// The verifier on hostile template files: whatever parses must write back to the same text,
// read again to the same template, and check a signature without fault.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "penwell/verify/Template.h"

using namespace penwell::verify;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = Template::parse(text, "fuzz.tpl");
    if (!parsed) {
        return 0;
    }
    const std::string written = parsed->serialise();
    auto again = Template::parse(written, "again.tpl");
    if (!again || again->serialise() != written) {
        std::abort();  // the writer and the reader disagree
    }
    // A query made of the first reference: its score and every part of it are finite (a
    // z-score may be below 0: nearer the references than they are to one another).
    const auto verdict = parsed->check(parsed->references().front());
    if (!verdict || !std::isfinite(verdict->score)) {
        std::abort();
    }
    for (const auto& c : verdict->components) {
        if (!std::isfinite(c.z) || !(c.spread > 0.0) || !(c.weight > 0.0)) {
            std::abort();
        }
    }
    return 0;
}
