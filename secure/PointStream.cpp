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

double recordPressure(std::uint32_t field) {
    const auto thousandths = static_cast<std::int32_t>(field);
    double pressure = thousandths / 1000.0;
    // The quotient is the double nearest field / 1000, so its product with 1000.0 lies within
    // an ulp of the field and lands below it for about one value in ninety. The next double
    // away from zero then gives the field: one step is enough for every one of the 2^32
    // fields (checked exhaustively), and it never reaches field + 1, since 1000 ulps of a
    // pressure below 2^22 are far less than one.
    if (recordInteger(pressure * 1000.0) != field) {
        pressure = std::nextafter(pressure, thousandths < 0 ? -HUGE_VAL : HUGE_VAL);
    }
    return pressure;
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
