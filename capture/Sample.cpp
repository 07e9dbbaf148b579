#include "penwell/capture/Sample.h"

#include <cmath>
#include <limits>

namespace penwell {

std::uint64_t elapsedMilliseconds(double timestamp, double tZero) {
    double e = (timestamp - tZero) * 1000.0;
    // Clock values in seconds are not exact in binary: 1000.01 - 1000.00 is 9.99999... ms. A
    // value a hair below a whole millisecond is that millisecond, or exact 10 ms steps would be
    // recorded as 9 ms about a third of the time. Above 2^52 every double is whole already.
    constexpr double kRoundingSlack = 1e-6;
    if (const double up = std::ceil(e); up - e > 0.0 && up - e <= kRoundingSlack) {
        e = up;
    }
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
