#include <gtest/gtest.h>

#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/secure/AES.h"
#include "penwell/secure/StrokeRecord.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::TestPad;

std::optional<Bytes> decrypt(const Bytes& cipher, const Bytes& key, const Bytes& iv) {
    return AES(openssl::makeCrypto()).decryptedDataForData(cipher, key, iv);
}

TEST(Record, StrokesBecomeTheStreamsIntegers) {
    // The empty stroke is a count of 0 and nothing else; the time keeps its low 32 bits.
    EXPECT_EQ(encodePointStream(recordOf({{}, {_point({-3.7, 20.2}, 0x1000000FAull, 0.5)}})),
              (Bytes{2,    0,    0,  0, 0, 0, 0,    0,    1, 0, 0,    0, 0xFD, 0xFF,
                     0xFF, 0xFF, 20, 0, 0, 0, 0xF4, 0x01, 0, 0, 0xFA, 0, 0,    0}));
}

// A receiver restores a record and the controller writes it again: the same record for every
// value of every field. Pressures were the fault (1001 thousandths came back as 1000).
TEST(Record, RestoringAndRecordingAgainGivesTheRecordBack) {
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

TEST(Record, OnlyFinishedStrokesUnderFreshKeysEveryTime) {
    TestPad t;
    t.show();
    for (int i = 0; i < 4; ++i) {
        t.down({10.0 * i, 5}, i);
        t.up({10.0 * i, 5}, i + 0.0125, 1.0);
    }
    t.down({100, 100}, 9);  // in progress: not in the record
    t.move({110, 100}, 9.01);
    std::optional<Bytes> key1, iv1, key2, iv2;
    const auto c1 = t.controller->_getSignatureData(&key1, &iv1);
    const auto c2 = t.controller->_getSignatureData(&key2, &iv2);
    ASSERT_TRUE(c1 && c2 && key1 && iv1);
    EXPECT_EQ(key1->size(), 32u);
    EXPECT_EQ(iv1->size(), 16u);
    EXPECT_EQ(c1->size(), 16u * ((4 + 4 * (4 + 16 * 4)) / 16 + 1));
    EXPECT_EQ(decrypt(*c1, *key1, *iv1), encodePointStream(recordOf(t.controller->lines())));
    EXPECT_EQ(decrypt(*c2, *key2, *iv2), decrypt(*c1, *key1, *iv1));
    EXPECT_NE(*key1, *key2);
    EXPECT_NE(*iv1, *iv2);
}

TEST(Record, WithoutASignatureNothingIsTouched) {
    TestPad t;
    ASSERT_TRUE(t.controller->restoreSignature({{_point({1, 1}, 0, 0)}}));
    std::optional<Bytes> key = Bytes{1, 2, 3}, iv = Bytes{4};
    EXPECT_FALSE(t.controller->_getSignatureData(&key, &iv));
    EXPECT_EQ(key, (Bytes{1, 2, 3}));
    EXPECT_EQ(iv, (Bytes{4}));
}

}  // namespace
}  // namespace penwell
