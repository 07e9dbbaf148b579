#include <gtest/gtest.h>

#include "penwell/platform/openssl/Digests.h"
#include "penwell/service/Secrets.h"
#include "support/Shell.h"

namespace penwell::service {
namespace {

using openssl::decodeBase64Url;

TEST(Secrets, ALinkTokenIs128RandomBitsAndOnlyItsHashIsKept) {
    const IssuedSecret a = issueLinkToken();
    const IssuedSecret b = issueLinkToken();
    EXPECT_EQ(a.text.size(), 22u);
    ASSERT_TRUE(decodeBase64Url(a.text));
    EXPECT_EQ(decodeBase64Url(a.text)->size(), 16u);
    EXPECT_NE(a.text, b.text);
    EXPECT_EQ(hexDigits(a.hash),
              test::run("printf '%s' " + a.text + " | openssl dgst -sha256 -r | cut -d' ' -f1"));
    EXPECT_EQ(a.hash, secretHash(a.text));
    // (An API key's form, pwk_ and 256 bits, the API's tests read: api.test.mjs.)
    EXPECT_EQ(newId("req_").size(), 4u + 16u);
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

}  // namespace
}  // namespace penwell::service
