#include "platform/Bytes.h"

namespace penwell {

void secureWipe(void* data, std::size_t size) noexcept {
    // Writes through a volatile pointer are observable behaviour, so they are never elided.
    volatile auto* p = static_cast<volatile std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        p[i] = 0;
    }
}

}  // namespace penwell
