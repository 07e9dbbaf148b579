#pragma once
// The largest files the receiver reads. Every input is read whole, so without a bound a wrong
// argument (a disk image, /dev/zero via a link) would take all memory before anything could
// be said about it. The bounds are far above anything real use makes, and are documented in
// the README.

#include <cstdint>

namespace penwell::receiver {

/// An encrypted record: 16 bytes a sample, so two million samples, hours of writing.
inline constexpr std::uint64_t kMaxRecordBytes = 32u << 20;

/// A certificate, a private key or a wrapped key: an RSA-16384 key in PEM is about 12 KB.
inline constexpr std::uint64_t kMaxKeyBytes = 1u << 20;

}  // namespace penwell::receiver
