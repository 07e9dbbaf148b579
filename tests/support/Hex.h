#pragma once
// Test vectors are written in hex.

#include <openssl/crypto.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "penwell/platform/Bytes.h"

namespace penwell::testing {

/// Hex digits to bytes; spaces between groups keep long vectors readable.
inline Bytes fromHex(std::string_view hex) {
    std::string digits(hex);
    std::erase(digits, ' ');
    long length = 0;
    const std::unique_ptr<unsigned char, void (*)(void*)> bytes(
        OPENSSL_hexstr2buf(digits.c_str(), &length), [](void* p) { OPENSSL_free(p); });
    if (bytes == nullptr) {
        throw std::invalid_argument("bad hex: " + digits);
    }
    return Bytes(bytes.get(), bytes.get() + length);
}

}  // namespace penwell::testing
