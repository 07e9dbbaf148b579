#include <gtest/gtest.h>

#include "Shell.h"
#include "platform/openssl/Digests.h"
#include "service/Secrets.h"

namespace penwell::service {
namespace {

using openssl::base64Url;
using openssl::decodeBase64Url;

TEST(Secrets, Base64UrlRoundTripsTheRfc4648Vectors) {
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

TEST(Secrets, Base64UrlRefusesWhatNoEncodingMakes) {
    for (const char* bad : {"Z", "Zm9vY", "Zh", "Zm9=", "Zm+v", "Zm/v", "Zm 9", "Zm9v\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(decodeBase64Url(bad));
    }
}

TEST(Secrets, ALinkTokenIs128RandomBitsAndOnlyItsHashIsKept) {
    const IssuedSecret a = issueLinkToken();
    const IssuedSecret b = issueLinkToken();
    EXPECT_EQ(a.text.size(), 22u);
    ASSERT_TRUE(decodeBase64Url(a.text));
    EXPECT_EQ(decodeBase64Url(a.text)->size(), 16u);
    EXPECT_NE(a.text, b.text);
    EXPECT_EQ(hexDigits(a.hash),
              testing::run("printf '%s' " + a.text + " | openssl dgst -sha256 -r | cut -d' ' -f1"));
    EXPECT_EQ(a.hash, secretHash(a.text));
}

TEST(Secrets, AnApiKeyCarriesItsPrefixAnd256Bits) {
    const IssuedSecret key = issueApiKey();
    ASSERT_EQ(key.text.rfind("pwk_", 0), 0u);
    EXPECT_EQ(decodeBase64Url(key.text.substr(4))->size(), 32u);
    EXPECT_EQ(key.hash, secretHash(key.text));
    EXPECT_EQ(newId("req_").size(), 4u + 16u);
}

TEST(Secrets, Pbkdf2MatchesOpensslKdf) {
    const auto derived = openssl::pbkdf2HmacSha256(asBytes("1234"), asBytes("saltsalt"), 1000, 32);
    ASSERT_TRUE(derived);
    const std::string expected = testing::run(
        "openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt pass:1234 -kdfopt salt:saltsalt "
        "-kdfopt iter:1000 PBKDF2 | tr -d ':' | tr 'A-F' 'a-f'");
    EXPECT_EQ(hexDigits(*derived), expected);
    EXPECT_FALSE(openssl::pbkdf2HmacSha256(asBytes("x"), asBytes("y"), 0, 32));
    EXPECT_FALSE(openssl::pbkdf2HmacSha256(asBytes("x"), asBytes("y"), 1, 0));
}

TEST(Secrets, AnAccessCodeIsKeptSaltedAndSlow) {
    const std::string stored = hashAccessCode("4711", 1000);
    EXPECT_EQ(stored.rfind("pbkdf2-sha256$1000$", 0), 0u);
    EXPECT_EQ(stored.find("4711"), std::string::npos);
    EXPECT_NE(stored, hashAccessCode("4711", 1000)) << "a fresh salt each time";
    EXPECT_TRUE(accessCodeMatches("4711", stored));
    EXPECT_FALSE(accessCodeMatches("4712", stored));
    EXPECT_FALSE(accessCodeMatches("", stored));
    EXPECT_EQ(hashAccessCode("4711").rfind("pbkdf2-sha256$210000$", 0), 0u);
}

TEST(Secrets, ADamagedStoredCodeNeverAdmits) {
    const std::string good = hashAccessCode("4711", 1000);
    const auto parts = [&] {
        std::vector<std::string> p;
        std::size_t start = 0;
        for (std::size_t i = 0; i <= good.size(); ++i) {
            if (i == good.size() || good[i] == '$') {
                p.push_back(good.substr(start, i - start));
                start = i + 1;
            }
        }
        return p;
    }();
    ASSERT_EQ(parts.size(), 4u);
    const std::string salt = parts[2];
    const std::string hash = parts[3];
    for (const std::string& bad : {
             std::string(),
             "pbkdf2-sha1$1000$" + salt + "$" + hash,
             "pbkdf2-sha256$0$" + salt + "$" + hash,
             "pbkdf2-sha256$1000x$" + salt + "$" + hash,
             "pbkdf2-sha256$99999999999$" + salt + "$" + hash,
             "pbkdf2-sha256$20000000$" + salt + "$" + hash,  // would stall the server
             "pbkdf2-sha256$1000$" + salt + "!$" + hash,
             "pbkdf2-sha256$1000$" + salt + "$" + hash.substr(0, 40),
             "pbkdf2-sha256$1000$" + salt + "$" + hash + "$extra",
         }) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(accessCodeMatches("4711", bad));
    }
}

TEST(Secrets, ConstantTimeEqualComparesContentsAndLength) {
    const Bytes a{1, 2, 3};
    EXPECT_TRUE(openssl::constantTimeEqual(a, Bytes{1, 2, 3}));
    EXPECT_FALSE(openssl::constantTimeEqual(a, Bytes{1, 2, 4}));
    EXPECT_FALSE(openssl::constantTimeEqual(a, Bytes{1, 2}));
    EXPECT_TRUE(openssl::constantTimeEqual(Bytes{}, Bytes{}));
}

}  // namespace
}  // namespace penwell::service
