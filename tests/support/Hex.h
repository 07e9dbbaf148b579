#pragma once
// Test vectors are written in hex.

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/Bytes.h"

namespace penwell::testing {

/// Lower-case hex digits to bytes; spaces between groups keep long vectors readable.
inline Bytes fromHex(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        throw std::invalid_argument("bad hex digit");
    };
    std::string digits;
    std::copy_if(hex.begin(), hex.end(), std::back_inserter(digits),
                 [](char c) { return c != ' '; });
    if (digits.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits");
    }
    Bytes bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    }
    return bytes;
}

}  // namespace penwell::testing
