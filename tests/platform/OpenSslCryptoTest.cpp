// The OpenSSL backend's PBKDF2-HMAC-SHA1 against RFC 6070. The cipher, the random generator and
// the digests are checked through the AES group (tests/secure/AESTest.cpp), which cannot reach
// PBKDF2 with other round counts.

#include "platform/openssl/OpenSslCrypto.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace penwell
