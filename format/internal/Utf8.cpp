#include "penwell/format/internal/Utf8.h"

#include <cstdint>

namespace penwell::format {

bool isUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t more = 0;
        // The range the second byte must lie in excludes overlong forms (E0, F0), surrogates
        // (ED) and code points beyond U+10FFFF (F4) without decoding the whole sequence.
        std::uint8_t low = 0x80, high = 0xbf;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xc2 && lead <= 0xdf) {
            more = 1;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            more = 2;
            low = lead == 0xe0 ? 0xa0 : 0x80;
            high = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            more = 3;
            low = lead == 0xf0 ? 0x90 : 0x80;
            high = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;  // a continuation byte, C0, C1 or F5 and above
        }
        if (text.size() - i - 1 < more) {
            return false;
        }
        for (std::size_t k = 1; k <= more; ++k) {
            const auto b = static_cast<std::uint8_t>(text[i + k]);
            if (b < (k == 1 ? low : 0x80) || b > (k == 1 ? high : 0xbf)) {
                return false;
            }
        }
        i += more + 1;
    }
    return true;
}

}  // namespace penwell::format
