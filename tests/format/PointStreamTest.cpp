#include "penwell/format/PointStream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "penwell/format/FormatError.h"

namespace penwell {
namespace {

using ::testing::HasSubstr;

Bytes words(std::initializer_list<std::uint32_t> values) {
    Bytes out;
    for (const std::uint32_t w : values) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<std::uint8_t>(w >> shift));
        }
    }
    return out;
}

TEST(PointStream, ConversionsTruncateAndKeepTheLow32Bits) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, std::uint32_t> cases[] = {
        {10.9, 10u}, {-0.5, 0u}, {-3.7, 4294967293u}, {1.0 * 1000.0, 1000u},
        {4294967296.0 + 7.0, 7u},  // low 32 bits
        // Undefined in a plain cast; here NaN is 0 and the rest saturate to the 64-bit limits.
        {std::nan(""), 0u}, {inf, 0xFFFFFFFFu}, {1e300, 0xFFFFFFFFu}, {-inf, 0u}, {-1e300, 0u},
        {-9223372036854775808.0, 0u},
    };
    for (const auto& [value, field] : cases) {
        EXPECT_EQ(recordInteger(value), field) << value;
    }
}

TEST(PointStream, EncodesAndDecodesByteForByte) {
    const Bytes stream = words({2, 1, 10, 0xFFFFFFFDu, 500, 250, 0});
    const PointRecord record{{{10, 0xFFFFFFFDu, 500, 250}}, {}};
    EXPECT_EQ(encodePointStream(record), stream);
    EXPECT_EQ(decodePointStream(stream, "r.bin").value(), record);
    EXPECT_EQ(signedField(record[0][0].y), -3);
    EXPECT_TRUE(decodePointStream(words({0}), "r")->empty());
    EXPECT_EQ(pointStreamStrokes(stream), 2u);
    EXPECT_EQ(pointStreamStrokes(words({0x80000000u})), std::nullopt);
    EXPECT_EQ(pointStreamStrokes(Bytes{1, 0, 0}), std::nullopt);
}

TEST(PointStream, RefusesBadCountsNamingTheByte) {
    const std::pair<Bytes, std::string> cases[] = {
        {{}, "r.bin: record truncated: stroke count at byte 0 needs 4 bytes, 0 left"},
        {{1, 0, 0}, "needs 4 bytes, 3 left"},
        {words({0xFFFFFFFFu}), "r.bin: record corrupt: stroke count at byte 0 is negative (-1)"},
        {words({1, 0x80000000u}), "sample count of stroke 0 at byte 4 is negative (-2147483648)"},
        {words({2, 0}),
         "r.bin: record corrupt: stroke count at byte 0 is 2, which needs at "
         "least 8 bytes, but only 4 are left"},
        // The first stroke's samples eat into the second's count.
        {words({2, 1, 1, 2, 3, 4}), "sample count of stroke 1 at byte 24 needs 4 bytes, 0 left"},
        {words({1, 2, 1, 2, 3, 4}),
         "sample count of stroke 0 at byte 4 is 2, which needs at "
         "least 32 bytes, but only 16 are left"},
        // A huge count is refused before anything is reserved for it.
        {words({1, 0x7FFFFFFF}), "is 2147483647"},
        {words({0, 0}), "r.bin: record corrupt: 4 trailing bytes after the last of 0 strokes"},
    };
    for (const auto& [stream, message] : cases) {
        const Result<PointRecord> decoded = decodePointStream(stream, "r.bin");
        ASSERT_FALSE(decoded) << message;
        EXPECT_EQ(decoded.error().domain, kFormatErrorDomain);
        EXPECT_THAT(decoded.error().message, HasSubstr(message));
    }
}

}  // namespace
}  // namespace penwell
