#include "tools/Record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/ToolError.h"

namespace penwell::tools {
namespace {

using ::testing::HasSubstr;

Bytes bytes(std::initializer_list<std::uint32_t> words) {
    Bytes out;
    for (const std::uint32_t w : words) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<std::uint8_t>(w >> shift));
        }
    }
    return out;
}

std::string decodeError(const Bytes& record) {
    try {
        decodeRecord(record, "r.bin");
    } catch (const ToolError& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(RecordTest, DecodesTheOneSampleRecordByteForByte) {
    const Bytes record = {0x01, 0, 0, 0, 0x01, 0,    0, 0, 0x0A, 0, 0, 0,
                          0x14, 0, 0, 0, 0xF4, 0x01, 0, 0, 0xFA, 0, 0, 0};
    const PointRecord decoded = decodeRecord(record, "r.bin");
    ASSERT_EQ(decoded.size(), 1u);
    ASSERT_EQ(decoded[0].size(), 1u);
    EXPECT_EQ(decoded[0][0], (RecordSample{10, 20, 500, 250}));
    EXPECT_EQ(encodeRecord(decoded), record);
}

TEST(RecordTest, ConversionsTruncateTowardZeroAndKeepTheLow32Bits) {
    EXPECT_EQ(recordField(10.9), 10u);
    EXPECT_EQ(recordField(-0.5), 0u);
    EXPECT_EQ(recordField(-3.7), 4294967293u);
    EXPECT_EQ(signedField(recordField(-3.7)), -3);
    EXPECT_EQ(recordField(0.5 * 1000.0), 500u);
    EXPECT_EQ(recordField(4294967296.0 + 7.0), 7u);  // low 32 bits of a wider value
    EXPECT_EQ(recordField(std::nan("")), 0u);
    EXPECT_EQ(recordField(1e300), 0xFFFFFFFFu);  // saturates at INT64_MAX, low bits all set
    EXPECT_EQ(recordField(-1e300), 0u);          // INT64_MIN has zero low bits
}

TEST(RecordTest, RecordOfAppliesTheConversionsPerSample) {
    const std::vector<Stroke> lines = {
        {_point({10.9, 20.2}, 0, 0.5), _point({-3.7, -0.5}, 17, 1.0)},
        {},
        {_point({1.0, 2.0}, 0x100000005ull, 0.0)},
    };
    const PointRecord record = recordOf(lines);
    ASSERT_EQ(record.size(), 3u);
    EXPECT_EQ(record[0], (RecordStroke{{10, 20, 500, 0}, {4294967293u, 0, 1000, 17}}));
    EXPECT_TRUE(record[1].empty());
    EXPECT_EQ(record[2], (RecordStroke{{1, 2, 0, 5}}));
    EXPECT_EQ(sampleCount(record), 3u);
    // 4 + (4 + 32) + 4 + (4 + 16)
    EXPECT_EQ(encodeRecord(record).size(), 64u);
}

TEST(RecordTest, RoundTripsEmptyStrokesAndAnEmptyRecord) {
    const PointRecord record = {{}, {{1, 2, 3, 4}}, {}};
    EXPECT_EQ(decodeRecord(encodeRecord(record), "r"), record);
    EXPECT_TRUE(decodeRecord(bytes({0}), "r").empty());
}

TEST(RecordTest, RefusesARecordTooShortForItsStrokeCount) {
    EXPECT_THAT(decodeError({}), HasSubstr("r.bin: record truncated: stroke count at byte 0"));
    EXPECT_THAT(decodeError({1, 0, 0}), HasSubstr("needs 4 bytes, 3 left"));
}

TEST(RecordTest, RefusesNegativeCounts) {
    EXPECT_THAT(decodeError(bytes({0xFFFFFFFFu})),
                HasSubstr("r.bin: record corrupt: stroke count at byte 0 is negative (-1)"));
    EXPECT_THAT(decodeError(bytes({1, 0x80000000u})),
                HasSubstr("sample count of stroke 0 at byte 4 is negative (-2147483648)"));
}

TEST(RecordTest, RefusesCountsThatRunPastTheEnd) {
    // Two strokes announced, room for one.
    EXPECT_THAT(decodeError(bytes({2, 0})),
                HasSubstr("r.bin: record corrupt: stroke count at byte 0 is 2, which needs at "
                          "least 8 bytes, but only 4 are left"));
    // Room for two counts, but the first stroke's samples eat into the second's.
    EXPECT_THAT(decodeError(bytes({2, 1, 1, 2, 3, 4})),
                HasSubstr("r.bin: record truncated: sample count of stroke 1 at byte 24 needs 4 "
                          "bytes, 0 left"));
    // A stroke of 2 samples with only one sample's bytes.
    EXPECT_THAT(decodeError(bytes({1, 2, 1, 2, 3, 4})),
                HasSubstr("sample count of stroke 0 at byte 4 is 2, which needs at least 32 "
                          "bytes, but only 16 are left"));
    // A huge count is refused before anything is reserved for it.
    EXPECT_THAT(decodeError(bytes({1, 0x7FFFFFFF})), HasSubstr("is 2147483647"));
    EXPECT_THAT(decodeError(bytes({0x7FFFFFFF})),
                HasSubstr("stroke count at byte 0 is 2147483647"));
}

TEST(RecordTest, RefusesTrailingBytes) {
    Bytes record = bytes({1, 1, 1, 2, 3, 4});
    record.push_back(0);
    EXPECT_THAT(decodeError(record),
                HasSubstr("r.bin: record corrupt: 1 trailing bytes after the last of 1 strokes"));
    EXPECT_THAT(decodeError(bytes({0, 0})), HasSubstr("4 trailing bytes"));
}

TEST(RecordTest, RefusesASampleCutInHalf) {
    Bytes record = bytes({1, 1, 1, 2, 3, 4});
    record.resize(record.size() - 2);
    EXPECT_THAT(decodeError(record), HasSubstr("only 14 are left"));
}

}  // namespace
}  // namespace penwell::tools
