#include "receiver/Record.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace penwell::receiver {
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
    const Result<PointRecord> decoded = decodeRecord(record, "r.bin");
    return decoded ? "(no error)" : decoded.error().message;
}

// The conversions themselves are the component's (tests/secure/RecordTest.cpp) and are checked
// end to end by CliTest; here, the byte form and the record a receiver expects.
TEST(RecordTest, DecodesByteForByteAndTheExpectedRecordKeepsTheLow32Bits) {
    const Bytes record = bytes({1, 1, 10, 20, 500, 250});
    EXPECT_EQ(decodeRecord(record, "r.bin").value(), (PointRecord{{{10, 20, 500, 250}}}));
    EXPECT_EQ(encodeRecord(decodeRecord(record, "r.bin").value()), record);
    EXPECT_TRUE(decodeRecord(bytes({0}), "r")->empty());
    EXPECT_EQ(signedField(4294967293u), -3);
    EXPECT_EQ(recordOf({{_point({1.0, 2.0}, 0x100000005ull, 0.0)}, {}}),
              (PointRecord{{{1, 2, 0, 5}}, {}}));
}

// A receiver restores a record and the controller writes it again: the same record for every
// value of every field. Pressures were the fault (1001 thousandths came back as 1000).
TEST(RecordTest, RestoringAndRecordingAgainGivesTheRecordBack) {
    const std::uint32_t edges[] = {0,          1,          999,        1000,       1001,
                                   1003,       4095,       65535,      65536,      2000000,
                                   0x7FFFFFFE, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFC17,
                                   0xFFFFFFFE, 0xFFFFFFFF};
    RecordStroke edgeStroke;
    for (const std::uint32_t v : edges) {
        edgeStroke.push_back({v, v, v, v});
    }
    // Every pressure up to 2000 (a force of 2.0 covers today's pens) on both signs, and each
    // field across its whole range at a stride that visits every residue class of small
    // divisors.
    RecordStroke dense, sweep;
    for (std::uint32_t p = 0; p <= 2000000; ++p) {
        dense.push_back({p, 0, p, 0});
        dense.push_back({0, p, static_cast<std::uint32_t>(-static_cast<std::int64_t>(p)), p});
    }
    for (std::uint64_t v = 0; v <= 0xFFFFFFFFull; v += 4099) {
        const auto f = static_cast<std::uint32_t>(v);
        sweep.push_back({f, ~f, f, ~f});
    }
    const PointRecord record{edgeStroke, dense, sweep, {}};
    EXPECT_EQ(recordOf(strokesOf(record)), record);
}

// Counts past the end and trailing bytes inside a sealed record are checked end to end by
// CliTest; these are the decoder's own edges.
TEST(RecordTest, RefusesBadCounts) {
    const std::pair<Bytes, std::string> cases[] = {
        {{}, "r.bin: record truncated: stroke count at byte 0 needs 4 bytes, 0 left"},
        {{1, 0, 0}, "needs 4 bytes, 3 left"},
        {bytes({0xFFFFFFFFu}), "r.bin: record corrupt: stroke count at byte 0 is negative (-1)"},
        {bytes({1, 0x80000000u}), "sample count of stroke 0 at byte 4 is negative (-2147483648)"},
        {bytes({2, 0}),
         "r.bin: record corrupt: stroke count at byte 0 is 2, which needs at "
         "least 8 bytes, but only 4 are left"},
        // The first stroke's samples eat into the second's count.
        {bytes({2, 1, 1, 2, 3, 4}), "sample count of stroke 1 at byte 24 needs 4 bytes, 0 left"},
        {bytes({1, 2, 1, 2, 3, 4}),
         "sample count of stroke 0 at byte 4 is 2, which needs at "
         "least 32 bytes, but only 16 are left"},
        // A huge count is refused before anything is reserved for it.
        {bytes({1, 0x7FFFFFFF}), "is 2147483647"},
    };
    for (const auto& [record, message] : cases) {
        EXPECT_THAT(decodeError(record), HasSubstr(message)) << message;
    }
}

}  // namespace
}  // namespace penwell::receiver
