// The server-side digests against independent answers: RFC 4648's vectors and openssl's own
// PBKDF2.
#include "penwell/platform/openssl/Digests.h"

#include <gtest/gtest.h>

#include "support/Shell.h"

namespace penwell::openssl {
namespace {

TEST(Digests, Base64UrlRoundTripsTheRfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg"},
        {"fo", "Zm8"},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg"},
        {"fooba", "Zm9vYmE"},
        {"foobar", "Zm9vYmFy"},
        {"\xfb\xff", "-_8"},  // the two characters that differ from plain base64
    };
    for (const auto& [plain, encoded] : vectors) {
        SCOPED_TRACE(encoded);
        EXPECT_EQ(base64Url(asBytes(plain)), encoded);
        const auto decoded = decodeBase64Url(encoded);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
    }
}

TEST(Digests, Base64UrlRefusesWhatNoEncodingMakes) {
    for (const char* bad : {"Z", "Zm9vY", "Zh", "Zm9=", "Zm+v", "Zm/v", "Zm 9", "Zm9v\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(decodeBase64Url(bad));
    }
}

TEST(Digests, Pbkdf2MatchesOpensslKdf) {
    const auto derived = pbkdf2HmacSha256(asBytes("1234"), asBytes("saltsalt"), 1000, 32);
    ASSERT_TRUE(derived);
    const std::string expected = test::run(
        "openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt pass:1234 -kdfopt salt:saltsalt "
        "-kdfopt iter:1000 PBKDF2 | tr -d ':' | tr 'A-F' 'a-f'");
    EXPECT_EQ(hexDigits(*derived), expected);
    EXPECT_FALSE(pbkdf2HmacSha256(asBytes("x"), asBytes("y"), 0, 32));
    EXPECT_FALSE(pbkdf2HmacSha256(asBytes("x"), asBytes("y"), 1, 0));
}

TEST(Digests, ConstantTimeEqualComparesContentsAndLength) {
    const Bytes a{1, 2, 3};
    EXPECT_TRUE(constantTimeEqual(a, Bytes{1, 2, 3}));
    EXPECT_FALSE(constantTimeEqual(a, Bytes{1, 2, 4}));
    EXPECT_FALSE(constantTimeEqual(a, Bytes{1, 2}));
    EXPECT_TRUE(constantTimeEqual(Bytes{}, Bytes{}));
}

}  // namespace
}  // namespace penwell::openssl
