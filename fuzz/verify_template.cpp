// The verifier on hostile template files: whatever parses must write back to the same text,
// read again to the same template, and check a signature without fault.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "verify/Template.h"

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
    // A query made of the first reference: its score is a finite number, not negative.
    const auto verdict = parsed->check(parsed->references().front());
    if (!verdict || !(verdict->score >= 0.0) || !std::isfinite(verdict->score)) {
        std::abort();
    }
    return 0;
}
