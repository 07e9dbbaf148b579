#include "capture/Sample.h"

#include <cmath>
#include <limits>

namespace penwell {

std::uint64_t elapsedMilliseconds(double timestamp, double tZero) {
    const double e = (timestamp - tZero) * 1000.0;
    constexpr double kTwo63 = 9223372036854775808.0;
    constexpr double kTwo64 = 18446744073709551616.0;
    if (!(e > 0.0)) {
        return 0;  // negative, zero or NaN: converting these to unsigned is undefined
    }
    if (e >= kTwo64) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    if (e >= kTwo63) {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(e - kTwo63)) |
               (std::uint64_t{1} << 63);
    }
    return static_cast<std::uint64_t>(static_cast<std::int64_t>(e));
}

}  // namespace penwell
