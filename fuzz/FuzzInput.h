#pragma once
// Reads structured values from a fuzzer's bytes: every read succeeds, past the end it gives
// zeros, so a harness never has to check lengths. Numbers come from a table of values that
// break code (NaN, infinities, huge, negative, tiny) as often as from raw bits.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <algorithm>
#include <span>
#include <string>

namespace penwell::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

    bool empty() const { return bytes_.empty(); }

    std::uint8_t byte() {
        if (bytes_.empty()) {
            return 0;
        }
        const std::uint8_t b = bytes_.front();
        bytes_ = bytes_.subspan(1);
        return b;
    }

    /// A value in [0, count).
    unsigned pick(unsigned count) { return count == 0 ? 0 : byte() % count; }

    bool flag() { return (byte() & 1) != 0; }

    /// A double that is sometimes ordinary (in [lo, hi]), sometimes hostile.
    double number(double lo, double hi) {
        static constexpr double kInf = std::numeric_limits<double>::infinity();
        static constexpr double kHostile[] = {
            std::numeric_limits<double>::quiet_NaN(),
            kInf,
            -kInf,
            0.0,
            -0.0,
            -1.0,
            1e9,
            1e14,
            -1e14,
            1e300,
            -1e300,
            std::numeric_limits<double>::denorm_min(),
            std::numeric_limits<double>::max(),
            32767.5,
            9.2233720368547758e18,
            18446744073709551616.0,
        };
        const std::uint8_t kind = byte();
        if (kind < 160) {
            return lo + (hi - lo) * (byte() * 256.0 + byte()) / 65535.0;
        }
        if (kind < 240) {
            return kHostile[kind % std::size(kHostile)];
        }
        std::uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) {
            bits = bits << 8 | byte();
        }
        double raw;
        std::memcpy(&raw, &bits, sizeof raw);
        return raw;
    }

    /// A float as a host would pass one: number() rounded, beyond float's range infinite.
    float single(double lo, double hi) {
        const double v = number(lo, hi);
        if (std::isfinite(v) && std::abs(v) > std::numeric_limits<float>::max()) {
            return v > 0 ? std::numeric_limits<float>::infinity()
                         : -std::numeric_limits<float>::infinity();
        }
        return static_cast<float>(v);
    }

    /// An int in [lo, hi], sometimes one of its extremes.
    int integer(int lo, int hi) {
        switch (pick(8)) {
            case 0:
                return std::numeric_limits<int>::min();
            case 1:
                return std::numeric_limits<int>::max();
            default:
                return lo + static_cast<int>((byte() * 256u + byte()) %
                                             (static_cast<unsigned>(hi - lo) + 1u));
        }
    }

    /// Everything that is left.
    std::span<const std::uint8_t> rest() {
        const auto all = bytes_;
        bytes_ = {};
        return all;
    }

    /// Up to `max` bytes.
    std::span<const std::uint8_t> bytes(std::size_t max) {
        const std::size_t n = std::min<std::size_t>(max, bytes_.size());
        const auto taken = bytes_.first(n);
        bytes_ = bytes_.subspan(n);
        return taken;
    }

private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace penwell::fuzz
