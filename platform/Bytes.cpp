#include "penwell/platform/Bytes.h"

namespace penwell {

std::string hexDigits(ByteView bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (const std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0f];
    }
    return out;
}

void secureWipe(void* data, std::size_t size) noexcept {
    // Writes through a volatile pointer are observable behaviour, so they are never elided.
    volatile auto* p = static_cast<volatile std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = 0;
    }
}

}  // namespace penwell
