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

    const Bytes record = encodePointStream({{}, {_point({-3.7, 20.2}, 250, 0.5)}});
    const Bytes expected = {2,    0,    0,  0, 0, 0, 0,    0,    1, 0, 0,    0, 0xFD, 0xFF,
                            0xFF, 0xFF, 20, 0, 0, 0, 0xF4, 0x01, 0, 0, 0xFA, 0, 0,    0};
    EXPECT_EQ(record, expected);  // the empty stroke is a count of 0 and nothing else
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
    EXPECT_EQ(decrypt(*c1, *key1, *iv1), encodePointStream(t.controller->lines()));
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
