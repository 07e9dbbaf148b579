#include "secure/PointStream.h"

#include <cmath>
#include <limits>

namespace penwell {

namespace {

void append32(Bytes& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

}  // namespace

std::uint32_t recordInteger(double value) {
    constexpr double kTwo63 = 9223372036854775808.0;
    std::int64_t truncated;
    if (std::isnan(value)) {
        truncated = 0;
    } else if (value >= kTwo63) {
        truncated = std::numeric_limits<std::int64_t>::max();
    } else if (value < -kTwo63) {
        truncated = std::numeric_limits<std::int64_t>::min();
    } else {
        truncated = static_cast<std::int64_t>(value);
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(truncated));
}

Bytes encodePointStream(const std::vector<Stroke>& strokes) {
    std::size_t size = 4;
    for (const Stroke& s : strokes) {
        size += 4 + 16 * s.size();
    }
    Bytes out;
    out.reserve(size);
    append32(out, static_cast<std::uint32_t>(strokes.size()));
    for (const Stroke& stroke : strokes) {
        append32(out, static_cast<std::uint32_t>(stroke.size()));
        for (const _point& p : stroke) {
            const Point xy = p.CGPointValue();
            append32(out, recordInteger(xy.x));
            append32(out, recordInteger(xy.y));
            append32(out, recordInteger(p.Pressure() * 1000.0));
            append32(out, static_cast<std::uint32_t>(p.Timestamp()));
        }
    }
    return out;
}

}  // namespace penwell
