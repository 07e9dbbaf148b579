// The buffer crypto group, over the real OpenSSL backend and over a wrapper around it that
// counts calls, records the random draws and injects failures.

#include "secure/AES.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/openssl/OpenSslCrypto.h"

namespace penwell {
namespace {

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

// The real backend, watched: every call is counted, every random draw recorded, and any one
// step can be made to fail.
class FakeCrypto final : public Crypto {
public:
    std::shared_ptr<Crypto> real = openssl::makeCrypto();

    int failRandomOnCall = 0;  // 1-based; 0 never fails
    bool failKdf = false;
    CCCryptorStatus cipherStatus = kCCSuccess;  // anything else fails every cipher call

    mutable int kdfCalls = 0;
    mutable int cipherCalls = 0;
    mutable std::vector<Bytes> randomDraws;  // one entry per call, failed ones included

    CCCryptorStatus pbkdf2HmacSha1(ByteView password, ByteView salt, std::uint32_t rounds,
                                   std::span<std::uint8_t> derivedKey) const override {
        ++kdfCalls;
        if (failKdf)
            return kCCUnspecifiedError;
        return real->pbkdf2HmacSha1(password, salt, rounds, derivedKey);
    }

    CCCryptorStatus randomBytes(std::span<std::uint8_t> out) const override {
        randomDraws.emplace_back();
        if (static_cast<int>(randomDraws.size()) == failRandomOnCall)
            return kCCRNGFailure;
        const CCCryptorStatus status = real->randomBytes(out);
        randomDraws.back().assign(out.begin(), out.end());
        return status;
    }

    CCCryptorStatus aesCbcPkcs7(Operation operation, ByteView key, ByteView iv, ByteView input,
                                std::span<std::uint8_t> output,
                                std::size_t& outLength) const override {
        ++cipherCalls;
        if (cipherStatus != kCCSuccess) {
            outLength = 0;
            return cipherStatus;
        }
        return real->aesCbcPkcs7(operation, key, iv, input, output, outLength);
    }

    Sha1Digest sha1(ByteView data) const override { return real->sha1(data); }
    Md5Digest md5(ByteView data) const override { return real->md5(data); }
};

const Error kUntouched{"untouched", 12345};

Error cryptError(CCCryptorStatus status) {
    return Error{std::string(kVellCryptManagerErrorDomain), status};
}

class AESGroup : public ::testing::Test {
protected:
    std::shared_ptr<FakeCrypto> fake = std::make_shared<FakeCrypto>();
    AES aes{fake};

    std::optional<Bytes> iv;
    std::optional<Bytes> key;
    Error error = kUntouched;

    std::optional<Bytes> encrypt(ByteView data, std::string_view password = "secret") {
        return aes.encryptedDataForData(data, password, &iv, &key, &error);
    }
};

// ---- Key derivation and random data -------------------------------------------------------------

// References from Python's hashlib.pbkdf2_hmac("sha1", password, salt, 10000, 32).
TEST_F(AESGroup, KeyForPasswordIsPbkdf2Sha1With10000Rounds) {
    const Bytes salt = fromHex("0102030405060708");
    EXPECT_EQ(aes.AESKeyForPassword("correct horse", salt),
              fromHex("675b6d9820679772fbf2908c702819466bda0c6d7e1955e02edd514130a1cbd4"));
}

TEST_F(AESGroup, NonAsciiPasswordEntersAsItsWholeUtf8Encoding) {
    // "pässwörd-€-署名": two-, three-byte and CJK sequences.
    constexpr std::string_view password =
        "p\xc3\xa4ssw\xc3\xb6rd-\xe2\x82\xac-\xe7\xbd\xb2\xe5\x90\x8d";
    const Bytes salt = fromHex("0102030405060708");
    const std::optional<Bytes> derived = aes.AESKeyForPassword(password, salt);
    EXPECT_EQ(derived, fromHex("a9b7393aa9b79646abefd9b3e383e9c4f5dd3690fc1a8ccd5ddff5ff763b7550"));

    Bytes direct(kAlgorithmKeySize, 0);
    ASSERT_EQ(fake->real->pbkdf2HmacSha1(asBytes(password), salt,
                                         static_cast<std::uint32_t>(kPBKDFRounds), direct),
              kCCSuccess);
    EXPECT_EQ(derived, direct);
}

TEST_F(AESGroup, KeyDerivationFailureIsNil) {
    fake->failKdf = true;
    EXPECT_EQ(aes.AESKeyForPassword("secret", fromHex("0102030405060708")), std::nullopt);
}

TEST_F(AESGroup, RandomDataOfLengthZeroIsEmptyNotNil) {
    const std::optional<Bytes> none = aes.randomDataOfLength(0);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(aes.randomDataOfLength(33)->size(), 33u);
}

TEST_F(AESGroup, RandomGeneratorFailureIsNil) {
    fake->failRandomOnCall = 1;
    EXPECT_EQ(aes.randomDataOfLength(16), std::nullopt);
}

// ---- Encryption ---------------------------------------------------------------------------------

TEST_F(AESGroup, CiphertextIsPaddedToTheNextWholeBlock) {
    const std::pair<std::size_t, std::size_t> lengths[] = {{0, 16},  {1, 16},  {15, 16},
                                                           {16, 32}, {17, 32}, {100, 112}};
    for (const auto& [n, expected] : lengths) {
        const std::optional<Bytes> ciphertext = encrypt(Bytes(n, 0x41));
        ASSERT_TRUE(ciphertext.has_value()) << n;
        EXPECT_EQ(ciphertext->size(), expected) << n;
        EXPECT_EQ(iv->size(), kAlgorithmIVSize);
        EXPECT_EQ(key->size(), kAlgorithmKeySize);
    }
    EXPECT_EQ(error, kUntouched);
}

TEST_F(AESGroup, DecryptingWithTheStoredKeyAndIvGivesTheInputBack) {
    for (const std::size_t n : {0u, 5u, 16u, 47u, 1000u}) {
        Bytes plain(n);
        for (std::size_t i = 0; i < n; ++i)
            plain[i] = static_cast<std::uint8_t>(i * 7 + 3);
        const std::optional<Bytes> ciphertext = encrypt(plain);
        ASSERT_TRUE(ciphertext.has_value());
        EXPECT_EQ(aes.decryptedDataForData(*ciphertext, *key, *iv, &error), plain) << n;
    }
    EXPECT_EQ(error, kUntouched);
}

TEST_F(AESGroup, EveryEncryptionDrawsItsOwnIvAndKey) {
    const Bytes plain(40, 0x42);
    const std::optional<Bytes> first = encrypt(plain);
    const std::optional<Bytes> firstIv = iv;
    const std::optional<Bytes> firstKey = key;
    const std::optional<Bytes> second = encrypt(plain);
    ASSERT_TRUE(first && second);
    EXPECT_NE(firstIv, iv);
    EXPECT_NE(firstKey, key);
    EXPECT_NE(first, second);
}

TEST_F(AESGroup, EncryptionDrawsTheIvThenAnEightByteSaltAndKeysFromThatSalt) {
    const Bytes plain(20, 0x43);
    const std::optional<Bytes> ciphertext = encrypt(plain, "hunter2");
    ASSERT_TRUE(ciphertext.has_value());
    ASSERT_EQ(fake->randomDraws.size(), 2u);
    EXPECT_EQ(iv, fake->randomDraws[0]);
    const Bytes& salt = fake->randomDraws[1];
    EXPECT_EQ(salt.size(), kPBKDFSaltSize);
    EXPECT_EQ(key, aes.AESKeyForPassword("hunter2", salt));

    // The bare ciphertext: plain AES-256-CBC of the input, nothing prepended or appended.
    Bytes expected(plain.size() + kAlgorithmBlockSize, 0);
    std::size_t written = 0;
    ASSERT_EQ(
        fake->real->aesCbcPkcs7(Crypto::Operation::kEncrypt, *key, *iv, plain, expected, written),
        kCCSuccess);
    expected.resize(written);
    EXPECT_EQ(ciphertext, expected);
}

TEST_F(AESGroup, MissingIvOutParameterIsReportedFirstAndNothingIsDrawn) {
    try {
        aes.encryptedDataForData(Bytes(4, 1), "pw", nullptr, nullptr, &error);
        FAIL() << "no assertion failure";
    } catch (const AssertionFailure& failure) {
        EXPECT_STREQ(failure.what(), "IV must not be NULL");
    }
    try {
        aes.encryptedDataForData(Bytes(4, 1), "pw", nullptr, &key, &error);
        FAIL() << "no assertion failure";
    } catch (const AssertionFailure& failure) {
        EXPECT_STREQ(failure.what(), "IV must not be NULL");
    }
    EXPECT_TRUE(fake->randomDraws.empty());
    EXPECT_EQ(fake->kdfCalls, 0);
    EXPECT_EQ(fake->cipherCalls, 0);
    EXPECT_EQ(error, kUntouched);
}

TEST_F(AESGroup, MissingKeyOutParameterFailsBeforeAnythingIsDrawnOrWritten) {
    iv = Bytes{9, 9, 9};
    try {
        aes.encryptedDataForData(Bytes(4, 1), "pw", &iv, nullptr, &error);
        FAIL() << "no assertion failure";
    } catch (const AssertionFailure& failure) {
        EXPECT_STREQ(failure.what(), "salt must not be NULL");
    }
    EXPECT_EQ(iv, (Bytes{9, 9, 9}));
    EXPECT_TRUE(fake->randomDraws.empty());
    EXPECT_EQ(fake->kdfCalls, 0);
    EXPECT_EQ(fake->cipherCalls, 0);
    EXPECT_EQ(error, kUntouched);
}

TEST_F(AESGroup, RandomFailureForTheIvFailsTheEncryption) {
    fake->failRandomOnCall = 1;
    key = Bytes(32, 7);  // a stale key from an earlier call must not survive
    EXPECT_EQ(encrypt(Bytes(10, 1)), std::nullopt);
    EXPECT_EQ(error, cryptError(kCCRNGFailure));
    EXPECT_EQ(error.code, -4307);
    EXPECT_EQ(iv, std::nullopt);
    EXPECT_EQ(key, std::nullopt);
    EXPECT_EQ(fake->randomDraws.size(), 1u);
    EXPECT_EQ(fake->kdfCalls, 0);
    EXPECT_EQ(fake->cipherCalls, 0);
}

TEST_F(AESGroup, RandomFailureForTheSaltFailsTheEncryption) {
    fake->failRandomOnCall = 2;
    EXPECT_EQ(encrypt(Bytes(10, 1)), std::nullopt);
    EXPECT_EQ(error, cryptError(kCCRNGFailure));
    ASSERT_TRUE(iv.has_value());
    EXPECT_EQ(iv, fake->randomDraws[0]);
    EXPECT_EQ(key, std::nullopt);
    EXPECT_EQ(fake->kdfCalls, 0);
    EXPECT_EQ(fake->cipherCalls, 0);
}

TEST_F(AESGroup, RandomFailureWithoutAnErrorObjectIsJustNil) {
    fake->failRandomOnCall = 2;
    EXPECT_EQ(aes.encryptedDataForData(Bytes(10, 1), "pw", &iv, &key), std::nullopt);
    EXPECT_EQ(fake->cipherCalls, 0);
}

TEST_F(AESGroup, KeyDerivationFailureNeverReachesTheCipher) {
    fake->failKdf = true;
    EXPECT_EQ(encrypt(Bytes(10, 1)), std::nullopt);
    EXPECT_EQ(error, cryptError(kCCParamError));
    EXPECT_TRUE(iv.has_value());
    EXPECT_EQ(key, std::nullopt);
    EXPECT_EQ(fake->cipherCalls, 0);
}

TEST_F(AESGroup, CipherFailurePassesItsStatusOnAndKeepsTheIvAndKey) {
    fake->cipherStatus = kCCMemoryFailure;
    EXPECT_EQ(encrypt(Bytes(10, 1)), std::nullopt);
    EXPECT_EQ(error, cryptError(kCCMemoryFailure));
    EXPECT_EQ(iv, fake->randomDraws[0]);
    EXPECT_EQ(key, aes.AESKeyForPassword("secret", fake->randomDraws[1]));
}

TEST_F(AESGroup, CipherFailureWithoutAnErrorObjectWritesOnlyIvAndKey) {
    fake->cipherStatus = kCCUnspecifiedError;
    EXPECT_EQ(aes.encryptedDataForData(Bytes(10, 1), "pw", &iv, &key), std::nullopt);
    EXPECT_TRUE(iv.has_value());
    EXPECT_TRUE(key.has_value());
}

// ---- Decryption ---------------------------------------------------------------------------------

// NIST SP 800-38A F.2.6 (AES-256-CBC), plus the one padding block that PKCS#7 appends.
TEST_F(AESGroup, DecryptsTheNistAes256Vector) {
    const Bytes nistKey =
        fromHex("603deb1015ca71be2b73aef0857d7781 1f352c073b6108d72d9810a30914dff4");
    const Bytes nistIv = fromHex("000102030405060708090a0b0c0d0e0f");
    const Bytes ciphertext = fromHex(
        "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
        "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"
        "3f461796d6b0d6b2e0c2a72b4d80e644");
    EXPECT_EQ(aes.decryptedDataForData(ciphertext, nistKey, nistIv, &error),
              fromHex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                      "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710"));
    EXPECT_EQ(error, kUntouched);
}

TEST_F(AESGroup, CiphertextNotAWholeNumberOfBlocksIsAnAlignmentError) {
    EXPECT_EQ(aes.decryptedDataForData(Bytes(17, 0), Bytes(32, 1), Bytes(16, 2), &error),
              std::nullopt);
    EXPECT_EQ(error, cryptError(kCCAlignmentError));
    EXPECT_EQ(error.code, -4303);
}

TEST_F(AESGroup, BadPaddingIsADecodeError) {
    const std::optional<Bytes> ciphertext = encrypt(Bytes{});
    ASSERT_TRUE(ciphertext.has_value());
    // The single block holds 16 pad bytes 0x10; flipping bit 4 of the IV's last byte makes the
    // last one 0x00, which no PKCS#7 padding ends with.
    Bytes badIv = *iv;
    badIv[15] ^= 0x10;
    EXPECT_EQ(aes.decryptedDataForData(*ciphertext, *key, badIv, &error), std::nullopt);
    EXPECT_EQ(error, cryptError(kCCDecodeError));
}

TEST_F(AESGroup, KeyOfTheWrongLengthIsAParamError) {
    EXPECT_EQ(aes.decryptedDataForData(Bytes(32, 0), Bytes(20, 1), Bytes(16, 2), &error),
              std::nullopt);
    EXPECT_EQ(error, cryptError(kCCParamError));
}

TEST_F(AESGroup, FailedDecryptionWithoutAnErrorObjectIsJustNil) {
    EXPECT_EQ(aes.decryptedDataForData(Bytes(17, 0), Bytes(32, 1), Bytes(16, 2)), std::nullopt);
    EXPECT_EQ(fake->cipherCalls, 1);
}

// ---- Digests ------------------------------------------------------------------------------------

TEST_F(AESGroup, DigestsOfTheEmptyBufferAreTheStandardValues) {
    EXPECT_EQ(aes.sha1Digest({}), fromHex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    EXPECT_EQ(aes.md5Digest({}), fromHex("d41d8cd98f00b204e9800998ecf8427e"));
}

TEST_F(AESGroup, DigestsOfABuffer) {
    EXPECT_EQ(aes.sha1Digest(asBytes("abc")), fromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(aes.md5Digest(asBytes("message digest")),
              fromHex("f96b697d7cb7938d525a2f31aaf161d0"));
}

}  // namespace
}  // namespace penwell
