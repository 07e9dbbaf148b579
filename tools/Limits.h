#pragma once
// The largest inputs the tool reads. Every input is read whole, so without a bound a wrong
// argument (a disk image, /dev/zero via a link) would take all memory before anything could
// be said about it. The bounds are far above anything real use makes, and are documented in
// the README and docs/trace-format.md.

#include <cstdint>

namespace penwell::tools {

/// A trace: the bundled ones are 20 to 130 KB for a few seconds of writing; 32 MiB holds about
/// a quarter of an hour of continuous stylus input in the same form, which replays in about
/// 200 MB and two seconds.
inline constexpr std::uint64_t kMaxTraceBytes = 32u << 20;

/// An encrypted record: 16 bytes a sample, so two million samples, hours of writing.
inline constexpr std::uint64_t kMaxRecordBytes = 32u << 20;

/// A certificate, a private key or a wrapped key: an RSA-16384 key in PEM is about 12 KB.
inline constexpr std::uint64_t kMaxKeyBytes = 1u << 20;

}  // namespace penwell::tools
