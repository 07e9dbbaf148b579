#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/openssl/OpenSslCrypto.h"
#include "secure/AES.h"
#include "secure/PointStream.h"
#include "support/TestPad.h"

namespace penwell {
namespace {

using testing::TestPad;

std::optional<Bytes> decrypt(const Bytes& cipher, const Bytes& key, const Bytes& iv) {
    return AES(openssl::makeCrypto()).decryptedDataForData(cipher, key, iv);
}

TEST(Record, OneSampleExampleByteForByte) {
    TestPad t;
    t.controller->setMinSigPoints(0);
    ASSERT_TRUE(t.controller->restoreSignature({{_point({10.9, 20.2}, 250, 0.5)}}));
    std::optional<Bytes> key, iv;
    const auto cipher = t.controller->_getSignatureData(&key, &iv);
    ASSERT_TRUE(cipher && key && iv);
    EXPECT_EQ(cipher->size(), 32u);
    EXPECT_EQ(key->size(), 32u);
    EXPECT_EQ(iv->size(), 16u);
    const Bytes expected = {0x01, 0, 0, 0, 0x01, 0,    0, 0, 0x0A, 0, 0, 0,
                            0x14, 0, 0, 0, 0xF4, 0x01, 0, 0, 0xFA, 0, 0, 0};
    EXPECT_EQ(decrypt(*cipher, *key, *iv), expected);
}

TEST(Record, Conversions) {
    EXPECT_EQ(recordInteger(10.9), 10u);
    EXPECT_EQ(recordInteger(-0.5), 0u);
    EXPECT_EQ(recordInteger(-3.7), 4294967293u);
    EXPECT_EQ(recordInteger(1.0 * 1000.0), 1000u);
    EXPECT_EQ(recordInteger(4294967296.0 + 7.0), 7u);  // low 32 bits
    // Undefined in a plain cast; here NaN is 0 and the rest saturate to the 64-bit limits.
    EXPECT_EQ(recordInteger(std::nan("")), 0u);
    EXPECT_EQ(recordInteger(std::numeric_limits<double>::infinity()), 0xFFFFFFFFu);
    EXPECT_EQ(recordInteger(1e300), 0xFFFFFFFFu);
    EXPECT_EQ(recordInteger(-std::numeric_limits<double>::infinity()), 0u);
    EXPECT_EQ(recordInteger(-1e300), 0u);
    EXPECT_EQ(recordInteger(-9223372036854775808.0), 0u);

    const Bytes record = encodePointStream({{}, {_point({-3.7, 1}, 9, 0.0)}});
    const Bytes expected = {2,    0,    0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0xFD, 0xFF,
                            0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0,    0};
    EXPECT_EQ(record, expected);  // the empty stroke is a count of 0 and nothing else
}

TEST(Record, OnlyFinishedStrokesAndFreshKeysEveryTime) {
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
    ASSERT_TRUE(c1 && c2);
    const auto p1 = decrypt(*c1, *key1, *iv1);
    const auto p2 = decrypt(*c2, *key2, *iv2);
    ASSERT_TRUE(p1);
    EXPECT_EQ(p1, p2);
    EXPECT_NE(*key1, *key2);
    EXPECT_NE(*iv1, *iv2);
    EXPECT_NE(*c1, *c2);
    EXPECT_EQ(p1->size(), 4u + 4 * (4 + 16 * 4));
    EXPECT_EQ(c1->size(), 16 * (p1->size() / 16 + 1));
    EXPECT_EQ((*p1)[0], 4);
    // The second sample of the first tap: x 1, y 0... pressure 1.0 -> 1000, 12 ms.
    const std::size_t second = 4 + 4 + 16;
    EXPECT_EQ((*p1)[second + 8], 0xE8);
    EXPECT_EQ((*p1)[second + 9], 0x03);
    EXPECT_EQ((*p1)[second + 12], 12);
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
