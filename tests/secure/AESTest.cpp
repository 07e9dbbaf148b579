// The buffer crypto group, over the real OpenSSL backend and over a wrapper around it that
// counts calls, records the random draws and injects failures.

#include "penwell/secure/AES.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "penwell/platform/openssl/OpenSslCrypto.h"

#include "support/Hex.h"

namespace penwell {
namespace {

using testing::fromHex;

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
            return kCCMemoryFailure;  // reported as kCCParamError, whatever the cause
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

// Written out rather than taken from the header: hosts compare against these values.
Error cryptError(int code) {
    return Error{"PenwellCrypt", code};
}

// NIST SP 800-38A F.2.5 / F.2.6, AES-256-CBC.
const Bytes kNistKey = fromHex("603deb1015ca71be2b73aef0857d7781 1f352c073b6108d72d9810a30914dff4");
const Bytes kNistIv = fromHex("000102030405060708090a0b0c0d0e0f");

template <typename F>
std::string assertionFrom(F&& call) {
    try {
        call();
    } catch (const AssertionFailure& failure) {
        return failure.what();
    }
    return "no assertion failure";
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

// Reference from Python's hashlib.pbkdf2_hmac("sha1", password, salt, 10000, 32), with a
// password of two-, three-byte and CJK sequences: "pässwörd-€-署名".
TEST_F(AESGroup, KeyForPasswordIsPbkdf2Sha1With10000RoundsOverTheWholeUtf8) {
    EXPECT_EQ(aes.AESKeyForPassword("p\xc3\xa4ssw\xc3\xb6rd-\xe2\x82\xac-\xe7\xbd\xb2\xe5\x90\x8d",
                                    fromHex("0102030405060708")),
              fromHex("a9b7393aa9b79646abefd9b3e383e9c4f5dd3690fc1a8ccd5ddff5ff763b7550"));
}

TEST_F(AESGroup, RandomDataIsEmptyForZeroAndNilWhenTheGeneratorFails) {
    EXPECT_EQ(aes.randomDataOfLength(0), Bytes{});
    // The whole buffer is filled: 8 trailing zero bytes happen with probability 2^-64.
    const Bytes some = aes.randomDataOfLength(64).value();
    EXPECT_NE(Bytes(some.end() - 8, some.end()), Bytes(8, 0));

    fake->failRandomOnCall = static_cast<int>(fake->randomDraws.size()) + 1;
    EXPECT_EQ(aes.randomDataOfLength(16), std::nullopt);
}

// ---- Encryption ---------------------------------------------------------------------------------

// Every encryption draws its own IV, then its own 8-byte salt, and keys from that salt.
TEST_F(AESGroup, CiphertextIsPaddedToTheNextBlockUnderFreshDrawsAndDecryptsBack) {
    const std::pair<std::size_t, std::size_t> lengths[] = {{0, 16}, {15, 16}, {16, 32}, {47, 48}};
    for (const auto& [n, expected] : lengths) {
        const Bytes plain(n, static_cast<std::uint8_t>(n + 1));
        const std::size_t draws = fake->randomDraws.size();
        const std::optional<Bytes> ciphertext = encrypt(plain);
        ASSERT_TRUE(ciphertext.has_value()) << n;
        EXPECT_EQ(ciphertext->size(), expected) << n;
        ASSERT_EQ(fake->randomDraws.size(), draws + 2) << n;
        EXPECT_EQ(iv, fake->randomDraws[draws]) << n;
        EXPECT_EQ(iv->size(), 16u);
        EXPECT_EQ(fake->randomDraws[draws + 1].size(), 8u) << n;
        EXPECT_EQ(key, aes.AESKeyForPassword("secret", fake->randomDraws[draws + 1])) << n;
        EXPECT_EQ(aes.decryptedDataForData(*ciphertext, *key, *iv, &error), plain) << n;
    }
    EXPECT_EQ(error, kUntouched);
}

TEST_F(AESGroup, MissingOutParametersFailBeforeAnythingIsDrawnOrWritten) {
    EXPECT_EQ(assertionFrom(
                  [&] { aes.encryptedDataForData(Bytes(4, 1), "pw", nullptr, nullptr, &error); }),
              "IV must not be NULL");
    iv = Bytes{9, 9, 9};
    EXPECT_EQ(
        assertionFrom([&] { aes.encryptedDataForData(Bytes(4, 1), "pw", &iv, nullptr, &error); }),
        "salt must not be NULL");
    EXPECT_EQ(iv, (Bytes{9, 9, 9}));
    EXPECT_TRUE(fake->randomDraws.empty());
    EXPECT_EQ(fake->kdfCalls, 0);
    EXPECT_EQ(fake->cipherCalls, 0);
    EXPECT_EQ(error, kUntouched);
}

// Nothing is encrypted without a full IV and a key from a full salt; the error carries the
// failing status, and without an error object the result is just nil.
TEST_F(AESGroup, FailuresOnTheWayGiveNilAndTheirStatus) {
    struct Case {
        const char* name;
        int failRandomOnCall;
        bool failKdf;
        CCCryptorStatus cipherStatus;
        int code;
        bool ivKept, keyKept;
    };
    const Case cases[] = {
        {"IV draw", 1, false, kCCSuccess, -4307, false, false},
        {"salt draw", 2, false, kCCSuccess, -4307, true, false},
        {"key derivation", 0, true, kCCSuccess, -4300, true, false},
        {"cipher", 0, false, kCCMemoryFailure, -4302, true, true},
    };
    for (const Case& c : cases) {
        for (const bool withError : {true, false}) {
            fake = std::make_shared<FakeCrypto>();
            fake->failRandomOnCall = c.failRandomOnCall;
            fake->failKdf = c.failKdf;
            fake->cipherStatus = c.cipherStatus;
            const AES watched{fake};
            key = Bytes(32, 7);  // a stale key from an earlier call must not survive
            error = kUntouched;
            EXPECT_EQ(watched.encryptedDataForData(Bytes(10, 1), "pw", &iv, &key,
                                                   withError ? &error : nullptr),
                      std::nullopt)
                << c.name;
            EXPECT_EQ(error, withError ? cryptError(c.code) : kUntouched) << c.name;
            EXPECT_EQ(iv.has_value(), c.ivKept) << c.name;
            if (c.ivKept) {
                EXPECT_EQ(iv, fake->randomDraws[0]) << c.name;
            }
            EXPECT_EQ(key.has_value(), c.keyKept) << c.name;
            if (c.keyKept) {
                EXPECT_EQ(key, watched.AESKeyForPassword("pw", fake->randomDraws[1])) << c.name;
            }
            EXPECT_EQ(fake->cipherCalls, c.cipherStatus != kCCSuccess ? 1 : 0) << c.name;
        }
    }
}

// ---- Decryption ---------------------------------------------------------------------------------

// NIST SP 800-38A F.2.6 (AES-256-CBC), plus the one padding block that PKCS#7 appends.
TEST_F(AESGroup, DecryptsTheNistAes256Vector) {
    const Bytes ciphertext = fromHex(
        "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
        "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"
        "3f461796d6b0d6b2e0c2a72b4d80e644");
    EXPECT_EQ(aes.decryptedDataForData(ciphertext, kNistKey, kNistIv, &error),
              fromHex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                      "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710"));
    EXPECT_EQ(error, kUntouched);
}

TEST_F(AESGroup, DecryptionFailuresGiveNilAndTheirStatus) {
    struct Case {
        const char* name;
        Bytes data, key, iv;
        int code;
    };
    const Case cases[] = {
        {"17 bytes", Bytes(17, 0), kNistKey, kNistIv, -4303},
        // NIST's first block alone decrypts to a block ending in 0x2a: no PKCS#7 padding.
        {"bad padding", fromHex("f58c4c04d6e5f1ba779eabfb5f7bfbd6"), kNistKey, kNistIv, -4304},
        {"20-byte key", Bytes(32, 0), Bytes(20, 1), kNistIv, -4300},
    };
    for (const Case& c : cases) {
        error = kUntouched;
        EXPECT_EQ(aes.decryptedDataForData(c.data, c.key, c.iv, &error), std::nullopt) << c.name;
        EXPECT_EQ(error, cryptError(c.code)) << c.name;
        EXPECT_EQ(aes.decryptedDataForData(c.data, c.key, c.iv), std::nullopt) << c.name;
    }
}

// ---- Digests: FIPS 180 SHA-1 and RFC 1321 MD5 --------------------------------------------------

TEST_F(AESGroup, Digests) {
    EXPECT_EQ(aes.sha1Digest(asBytes("abc")), fromHex("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(aes.md5Digest(asBytes("message digest")),
              fromHex("f96b697d7cb7938d525a2f31aaf161d0"));
}

}  // namespace
}  // namespace penwell
