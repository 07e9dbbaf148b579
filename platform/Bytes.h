#pragma once
// Byte buffers: owned results are Bytes, borrowed inputs are ByteView.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace penwell {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

/// The bytes of a string, without a copy.
inline ByteView asBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

/// Lowercase hexadecimal digits of `bytes`, two per byte (fingerprints and digests in messages).
std::string hexDigits(ByteView bytes);

/// Overwrites a buffer that held a secret in a way the optimiser may not remove.
void secureWipe(void* data, std::size_t size) noexcept;

template <typename Container>
void secureWipe(Container& c) noexcept {
    secureWipe(c.data(), c.size() * sizeof(*c.data()));
}

}  // namespace penwell
