#pragma once
// Reading hexadecimal digits, as fingerprints, URIs' percent escapes, PDF hex strings and the
// audit trail write bytes. (Writing them is hexDigits() in Bytes.h.)

#include <optional>
#include <string_view>

#include "penwell/platform/Bytes.h"

namespace penwell {

/// The value of one hexadecimal digit, 0 to 15; -1 for any other character, and for 'A' to
/// 'F' when `lowercaseOnly`.
constexpr int hexDigitValue(char c, bool lowercaseOnly = false) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (!lowercaseOnly && c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/// An even number of hexadecimal digits as bytes; nil for anything else.
inline std::optional<Bytes> bytesFromHex(std::string_view digits, bool lowercaseOnly = false) {
    if (digits.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(digits.size() / 2);
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const int high = hexDigitValue(digits[i], lowercaseOnly);
        const int low = hexDigitValue(digits[i + 1], lowercaseOnly);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return out;
}

}  // namespace penwell
