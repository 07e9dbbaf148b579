// The OpenSSL backend's PBKDF2-HMAC-SHA1 against RFC 6070, and the status each misuse of its
// cipher answers. The cipher's bytes, the random generator and the digests are checked
// through the AES group (tests/secure/AESTest.cpp), which cannot reach PBKDF2 with other round
// counts nor most of the statuses.

#include "penwell/platform/openssl/OpenSslCrypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string_view>

#include "support/Hex.h"

namespace penwell {
namespace {

using namespace std::string_view_literals;
using testing::fromHex;

Bytes pbkdf2(std::string_view password, std::string_view salt, std::uint32_t rounds,
             std::size_t length) {
    Bytes out(length, 0);
    EXPECT_EQ(openssl::makeCrypto()->pbkdf2HmacSha1(asBytes(password), asBytes(salt), rounds, out),
              kCCSuccess);
    return out;
}

TEST(OpenSslCrypto, Pbkdf2Rfc6070) {
    struct Case {
        std::string_view password, salt;
        std::uint32_t rounds;
        std::size_t length;
        std::string_view derived;
    };
    const Case cases[] = {
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {"pass\0word"sv, "sa\0lt"sv, 4096, 16, "56fa6aa75548099dcc37d7f03425e0c3"},
        // Not in RFC 6070; from Python's hashlib.pbkdf2_hmac: empty password, empty salt.
        {"", "salt", 2, 20, "133a4ce837b4d2521ee2bf03e11c71ca794e0797"},
        {"password", "", 2, 20, "28007d55461ac80ba13cda422e164b8c748ce706"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pbkdf2(c.password, c.salt, c.rounds, c.length), fromHex(c.derived))
            << c.password << " " << c.rounds;
    }
}

// Each documented status, one misuse at a time from a call that succeeds; a failure other
// than a short buffer reports no length and leaves no plaintext in the output.
TEST(OpenSslCrypto, AesStatusesFollowTheTable) {
    using Op = Crypto::Operation;
    const auto crypto = openssl::makeCrypto();
    const Bytes key(32, 0x11), iv(16, 0x22), plain(40, 0x33);
    Bytes cipher(48, 0);
    std::size_t length = 0;
    ASSERT_EQ(crypto->aesCbcPkcs7(Op::kEncrypt, key, iv, plain, cipher, length), kCCSuccess);
    ASSERT_EQ(length, 48u);
    Bytes badPadding = cipher;
    badPadding.back() ^= 0x01;  // the last block now decrypts to garbage, not padding

    struct Case {
        const char* what;
        Op op;
        Bytes key, iv, input;
        std::size_t room;
        CCCryptorStatus status;
        std::size_t length;
    };
    const Case cases[] = {
        {"AES-128", Op::kEncrypt, Bytes(16, 1), iv, plain, 48, kCCSuccess, 48},
        {"AES-192", Op::kEncrypt, Bytes(24, 1), iv, plain, 48, kCCSuccess, 48},
        {"a 15-byte key", Op::kEncrypt, Bytes(15, 1), iv, plain, 48, kCCParamError, 0},
        {"a 33-byte key", Op::kDecrypt, Bytes(33, 1), iv, cipher, 48, kCCParamError, 0},
        {"no IV", Op::kEncrypt, key, {}, plain, 48, kCCParamError, 0},
        {"a 17-byte IV", Op::kDecrypt, key, Bytes(17, 2), cipher, 48, kCCParamError, 0},
        // A whole block of padding: 32 bytes need 48.
        {"encryption short of room", Op::kEncrypt, key, iv, Bytes(32, 3), 47, kCCBufferTooSmall,
         48},
        {"empty plaintext", Op::kEncrypt, key, iv, {}, 16, kCCSuccess, 16},
        {"ciphertext not whole blocks", Op::kDecrypt, key, iv, Bytes(47, 4), 48, kCCAlignmentError,
         0},
        {"empty ciphertext", Op::kDecrypt, key, iv, {}, 16, kCCDecodeError, 0},
        {"decryption short of room", Op::kDecrypt, key, iv, cipher, 47, kCCBufferTooSmall, 48},
        {"bad padding", Op::kDecrypt, key, iv, badPadding, 48, kCCDecodeError, 0},
        {"the round trip", Op::kDecrypt, key, iv, cipher, 48, kCCSuccess, 40},
    };
    for (const Case& c : cases) {
        Bytes out(c.room, 0xAA);
        std::size_t got = 12345;
        EXPECT_EQ(crypto->aesCbcPkcs7(c.op, c.key, c.iv, c.input, out, got), c.status) << c.what;
        EXPECT_EQ(got, c.length) << c.what;
        if (c.status != kCCSuccess && c.status != kCCBufferTooSmall) {
            EXPECT_EQ(std::count(out.begin(), out.end(), 0x33), 0) << c.what;
        }
    }
    Bytes out(48, 0);
    ASSERT_EQ(crypto->aesCbcPkcs7(Op::kDecrypt, key, iv, cipher, out, length), kCCSuccess);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length)), plain);
}

TEST(OpenSslCrypto, Pbkdf2RefusesZeroRoundsAndNoOutput) {
    const auto crypto = openssl::makeCrypto();
    Bytes out(20, 0);
    EXPECT_EQ(crypto->pbkdf2HmacSha1(asBytes("p"), asBytes("s"), 0, out), kCCParamError);
    EXPECT_EQ(crypto->pbkdf2HmacSha1(asBytes("p"), asBytes("s"), 1, {}), kCCParamError);
}

}  // namespace
}  // namespace penwell
