// The OpenSSL backend, exercised only through the Crypto interface, against published vectors.

#include "platform/openssl/OpenSslCrypto.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

namespace penwell {
namespace {

// Hex digits to bytes; spaces are allowed between groups to keep long vectors readable.
Bytes fromHex(std::string_view hex) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        throw std::invalid_argument("bad hex digit");
    };
    std::string digits;
    std::copy_if(hex.begin(), hex.end(), std::back_inserter(digits),
                 [](char c) { return c != ' '; });
    if (digits.size() % 2 != 0)
        throw std::invalid_argument("odd number of hex digits");
    Bytes bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(nibble(digits[i]) << 4 | nibble(digits[i + 1])));
    }
    return bytes;
}

template <typename Digest>
Bytes toBytes(const Digest& digest) {
    return Bytes(digest.begin(), digest.end());
}

class OpenSslCrypto : public ::testing::Test {
protected:
    std::shared_ptr<Crypto> crypto = openssl::makeCrypto();

    Bytes pbkdf2(std::string_view password, std::string_view salt, std::uint32_t rounds,
                 std::size_t length) const {
        Bytes out(length, 0);
        EXPECT_EQ(crypto->pbkdf2HmacSha1(asBytes(password), asBytes(salt), rounds, out),
                  kCCSuccess);
        return out;
    }

    // Runs the cipher with exactly the room it asks for; returns the status, fills `out`.
    CCCryptorStatus cipher(Crypto::Operation operation, ByteView key, ByteView iv, ByteView input,
                           Bytes& out, std::size_t room) const {
        out.assign(room, 0);
        std::size_t written = 0;
        const CCCryptorStatus status = crypto->aesCbcPkcs7(operation, key, iv, input, out, written);
        out.resize(status == kCCSuccess ? written : 0);
        return status;
    }
};

// ---- PBKDF2-HMAC-SHA1: RFC 6070 --------------------------------------------------------------

TEST_F(OpenSslCrypto, Pbkdf2Rfc6070OneRound) {
    EXPECT_EQ(pbkdf2("password", "salt", 1, 20),
              fromHex("0c60c80f961f0e71f3a9b524af6012062fe037a6"));
}

TEST_F(OpenSslCrypto, Pbkdf2Rfc6070TwoRounds) {
    EXPECT_EQ(pbkdf2("password", "salt", 2, 20),
              fromHex("ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"));
}

TEST_F(OpenSslCrypto, Pbkdf2Rfc6070ManyRounds) {
    EXPECT_EQ(pbkdf2("password", "salt", 4096, 20),
              fromHex("4b007901b765489abead49d926f721d065a429c1"));
}

// 16777216 rounds take tens of seconds; run with --gtest_also_run_disabled_tests.
TEST_F(OpenSslCrypto, DISABLED_Pbkdf2Rfc6070SixteenMillionRounds) {
    EXPECT_EQ(pbkdf2("password", "salt", 16777216, 20),
              fromHex("eefe3d61cd4da4e4e9945b3d6ba2158c2634e984"));
}

TEST_F(OpenSslCrypto, Pbkdf2Rfc6070LongPasswordSaltAndOutput) {
    EXPECT_EQ(pbkdf2("passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096, 25),
              fromHex("3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"));
}

TEST_F(OpenSslCrypto, Pbkdf2Rfc6070EmbeddedNulBytes) {
    using namespace std::string_view_literals;
    EXPECT_EQ(pbkdf2("pass\0word"sv, "sa\0lt"sv, 4096, 16),
              fromHex("56fa6aa75548099dcc37d7f03425e0c3"));
}

// Reference values from Python's hashlib.pbkdf2_hmac, an independent implementation.
TEST_F(OpenSslCrypto, Pbkdf2TakesEmptyPasswordAndEmptySalt) {
    EXPECT_EQ(pbkdf2("", "salt", 2, 20), fromHex("133a4ce837b4d2521ee2bf03e11c71ca794e0797"));
    EXPECT_EQ(pbkdf2("password", "", 2, 20), fromHex("28007d55461ac80ba13cda422e164b8c748ce706"));
}

TEST_F(OpenSslCrypto, Pbkdf2RefusesZeroRoundsAndEmptyOutput) {
    Bytes out(20, 0);
    EXPECT_EQ(crypto->pbkdf2HmacSha1(asBytes("password"), asBytes("salt"), 0, out), kCCParamError);
    EXPECT_EQ(crypto->pbkdf2HmacSha1(asBytes("password"), asBytes("salt"), 1, {}), kCCParamError);
}

// ---- AES-CBC: NIST SP 800-38A, F.2.1 / F.2.3 / F.2.5 (encrypt) and F.2.2 / F.2.4 / F.2.6 -----
//
// The NIST vectors are unpadded four-block messages. CBC is prefix-preserving, so the padded
// encryption must begin with the NIST ciphertext and add exactly one block (a full block of
// padding, 0x10 times 16). That last block is the AES encryption of (C4 xor padding) and was
// computed with `openssl enc`; the first 64 bytes are NIST's own.

const Bytes kNistIv = fromHex("000102030405060708090a0b0c0d0e0f");
const Bytes kNistPlaintext = fromHex(
    "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");

struct NistCase {
    const char* name;
    Bytes key;
    Bytes ciphertext;    // the 64 bytes of SP 800-38A
    Bytes paddingBlock;  // the 16 bytes that PKCS#7 padding appends
};

class OpenSslCryptoNist : public OpenSslCrypto, public ::testing::WithParamInterface<NistCase> {};

TEST_P(OpenSslCryptoNist, EncryptionStartsWithTheNistCiphertext) {
    const NistCase& c = GetParam();
    Bytes out;
    ASSERT_EQ(cipher(Crypto::Operation::kEncrypt, c.key, kNistIv, kNistPlaintext, out, 80),
              kCCSuccess);
    ASSERT_EQ(out.size(), 80u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 64), c.ciphertext);
    EXPECT_EQ(Bytes(out.begin() + 64, out.end()), c.paddingBlock);
}

TEST_P(OpenSslCryptoNist, DecryptionGivesTheNistPlaintext) {
    const NistCase& c = GetParam();
    Bytes padded = c.ciphertext;
    padded.insert(padded.end(), c.paddingBlock.begin(), c.paddingBlock.end());
    Bytes out;
    ASSERT_EQ(cipher(Crypto::Operation::kDecrypt, c.key, kNistIv, padded, out, padded.size()),
              kCCSuccess);
    EXPECT_EQ(out, kNistPlaintext);
}

INSTANTIATE_TEST_SUITE_P(
    SP800_38A, OpenSslCryptoNist,
    ::testing::Values(
        NistCase{"Aes128", fromHex("2b7e151628aed2a6abf7158809cf4f3c"),
                 fromHex("7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2"
                         "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"),
                 fromHex("8cb82807230e1321d3fae00d18cc2012")},
        NistCase{"Aes192", fromHex("8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b"),
                 fromHex("4f021db243bc633d7178183a9fa071e8 b4d9ada9ad7dedf4e5e738763f69145a"
                         "571b242012fb7ae07fa9baac3df102e0 08b0e27988598881d920a9e64f5615cd"),
                 fromHex("612ccd79224b350935d45dd6a98f8176")},
        NistCase{"Aes256",
                 fromHex("603deb1015ca71be2b73aef0857d7781 1f352c073b6108d72d9810a30914dff4"),
                 fromHex("f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
                         "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"),
                 fromHex("3f461796d6b0d6b2e0c2a72b4d80e644")}),
    [](const ::testing::TestParamInfo<NistCase>& info) { return std::string(info.param.name); });

// ---- AES-CBC: lengths and the failure statuses ------------------------------------------------

const Bytes kKey256 = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");

TEST_F(OpenSslCrypto, EncryptionPadsToTheNextWholeBlock) {
    for (const std::size_t n : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 100u}) {
        const Bytes plain(n, 0x5a);
        Bytes out;
        ASSERT_EQ(cipher(Crypto::Operation::kEncrypt, kKey256, kNistIv, plain, out, n + 16),
                  kCCSuccess);
        EXPECT_EQ(out.size(), 16 * (n / 16 + 1)) << n;
        Bytes back;
        ASSERT_EQ(cipher(Crypto::Operation::kDecrypt, kKey256, kNistIv, out, back, out.size()),
                  kCCSuccess);
        EXPECT_EQ(back, plain) << n;
    }
}

TEST_F(OpenSslCrypto, KeyOfAnotherLengthIsAParamError) {
    Bytes out;
    for (const std::size_t length : {0u, 8u, 20u, 31u, 33u, 64u}) {
        const Bytes key(length, 1);
        EXPECT_EQ(cipher(Crypto::Operation::kEncrypt, key, kNistIv, kNistPlaintext, out, 80),
                  kCCParamError)
            << length;
        EXPECT_EQ(cipher(Crypto::Operation::kDecrypt, key, kNistIv, kNistPlaintext, out, 64),
                  kCCParamError)
            << length;
    }
}

TEST_F(OpenSslCrypto, MissingOrShortIvIsAParamErrorNotAZeroIv) {
    Bytes out;
    EXPECT_EQ(cipher(Crypto::Operation::kEncrypt, kKey256, {}, kNistPlaintext, out, 80),
              kCCParamError);
    EXPECT_EQ(cipher(Crypto::Operation::kEncrypt, kKey256, Bytes(8, 0), kNistPlaintext, out, 80),
              kCCParamError);
    EXPECT_EQ(cipher(Crypto::Operation::kEncrypt, kKey256, Bytes(17, 0), kNistPlaintext, out, 80),
              kCCParamError);
}

TEST_F(OpenSslCrypto, DecryptionOfAPartialBlockIsAnAlignmentError) {
    Bytes out;
    EXPECT_EQ(cipher(Crypto::Operation::kDecrypt, kKey256, kNistIv, Bytes(17, 0), out, 17),
              kCCAlignmentError);
    EXPECT_EQ(cipher(Crypto::Operation::kDecrypt, kKey256, kNistIv, Bytes(15, 0), out, 15),
              kCCAlignmentError);
}

TEST_F(OpenSslCrypto, DecryptionOfNothingIsADecodeError) {
    Bytes out;
    EXPECT_EQ(cipher(Crypto::Operation::kDecrypt, kKey256, kNistIv, {}, out, 16), kCCDecodeError);
}

TEST_F(OpenSslCrypto, BadPaddingIsADecodeErrorAndLeavesNoPlaintextBehind) {
    // Two blocks: a full block of secret text, then a block of padding. Flipping bit 4 of the
    // first ciphertext block's last byte turns the final pad byte 0x10 into 0x00, which is
    // never valid PKCS#7, so the failure is certain rather than likely.
    const Bytes secret(16, 'S');
    Bytes ciphertext;
    ASSERT_EQ(cipher(Crypto::Operation::kEncrypt, kKey256, kNistIv, secret, ciphertext, 32),
              kCCSuccess);
    ciphertext[15] ^= 0x10;

    Bytes out(32, 0xaa);
    std::size_t written = 99;
    EXPECT_EQ(crypto->aesCbcPkcs7(Crypto::Operation::kDecrypt, kKey256, kNistIv, ciphertext, out,
                                  written),
              kCCDecodeError);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(std::search(out.begin(), out.end(), secret.begin(), secret.end()), out.end());
}

TEST_F(OpenSslCrypto, ShortOutputIsBufferTooSmallAndNamesTheRoomNeeded) {
    Bytes out(79, 0xaa);
    std::size_t written = 0;
    EXPECT_EQ(crypto->aesCbcPkcs7(Crypto::Operation::kEncrypt, kKey256, kNistIv, kNistPlaintext,
                                  out, written),
              kCCBufferTooSmall);
    EXPECT_EQ(written, 80u);
    EXPECT_EQ(out, Bytes(79, 0xaa));

    Bytes shortPlain(63, 0);
    EXPECT_EQ(crypto->aesCbcPkcs7(Crypto::Operation::kDecrypt, kKey256, kNistIv, kNistPlaintext,
                                  shortPlain, written),
              kCCBufferTooSmall);
    EXPECT_EQ(written, 64u);
}

// ---- Random bytes -------------------------------------------------------------------------------

TEST_F(OpenSslCrypto, RandomBytesFillTheWholeBufferAndDiffer) {
    Bytes a(64, 0);
    Bytes b(64, 0);
    ASSERT_EQ(crypto->randomBytes(a), kCCSuccess);
    ASSERT_EQ(crypto->randomBytes(b), kCCSuccess);
    EXPECT_NE(a, b);
    // 64 random bytes ending in 8 zero bytes happens with probability 2^-64.
    EXPECT_NE(Bytes(a.end() - 8, a.end()), Bytes(8, 0));
    EXPECT_EQ(crypto->randomBytes({}), kCCSuccess);
}

// ---- SHA-1: FIPS 180 ----------------------------------------------------------------------------

TEST_F(OpenSslCrypto, Sha1Fips180Vectors) {
    EXPECT_EQ(toBytes(crypto->sha1(asBytes("abc"))),
              fromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(toBytes(crypto->sha1({})), fromHex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    EXPECT_EQ(
        toBytes(crypto->sha1(asBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
        fromHex("84983e441c3bd26ebaae4aa1f95129e5e54670f1"));
    const std::string millionA(1000000, 'a');
    EXPECT_EQ(toBytes(crypto->sha1(asBytes(millionA))),
              fromHex("34aa973cd4c4daa4f61eeb2bdbad27316534016f"));
}

// ---- MD5: RFC 1321 test suite -------------------------------------------------------------------

TEST_F(OpenSslCrypto, Md5Rfc1321TestSuite) {
    const std::pair<std::string_view, std::string_view> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [message, digest] : suite) {
        EXPECT_EQ(toBytes(crypto->md5(asBytes(message))), fromHex(digest)) << message;
    }
}

}  // namespace
}  // namespace penwell
