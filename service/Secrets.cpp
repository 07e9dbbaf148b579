#include "penwell/service/Secrets.h"

#include <charconv>
#include <vector>

#include "penwell/platform/openssl/Digests.h"

namespace penwell::service {
namespace {

constexpr std::string_view kAccessCodeScheme = "pbkdf2-sha256";
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
// A stored form with more rounds than this is refused: checking it would let a damaged or
// planted row stall the server.
constexpr std::uint32_t kMostRounds = 10'000'000;

IssuedSecret issue(std::string prefix, std::size_t randomBytes) {
    IssuedSecret secret;
    secret.text = std::move(prefix) + openssl::base64Url(openssl::secureRandom(randomBytes));
    secret.hash = secretHash(secret.text);
    return secret;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == separator) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

}  // namespace

IssuedSecret issueLinkToken() {
    return issue("", 16);
}

IssuedSecret issueApiKey() {
    return issue("pwk_", 32);
}

Bytes secretHash(std::string_view text) {
    const auto digest = openssl::sha256(asBytes(text));
    return Bytes(digest.begin(), digest.end());
}

std::string newId(std::string_view prefix) {
    return std::string(prefix) + openssl::base64Url(openssl::secureRandom(12));
}

std::string hashAccessCode(std::string_view code, std::uint32_t rounds) {
    const Bytes salt = openssl::secureRandom(kSaltBytes);
    Bytes hash = openssl::pbkdf2HmacSha256(asBytes(code), salt, rounds, kHashBytes).value();
    std::string stored = std::string(kAccessCodeScheme) + "$" + std::to_string(rounds) + "$" +
                         openssl::base64Url(salt) + "$" + openssl::base64Url(hash);
    secureWipe(hash);
    return stored;
}

bool accessCodeMatches(std::string_view code, std::string_view stored) {
    const auto parts = split(stored, '$');
    if (parts.size() != 4 || parts[0] != kAccessCodeScheme) {
        return false;
    }
    std::uint32_t rounds = 0;
    const auto [end, error] =
        std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), rounds);
    const auto salt = openssl::decodeBase64Url(parts[2]);
    const auto expected = openssl::decodeBase64Url(parts[3]);
    if (error != std::errc() || end != parts[1].data() + parts[1].size() || rounds == 0 ||
        rounds > kMostRounds || !salt || !expected || expected->size() != kHashBytes) {
        return false;
    }
    auto actual = openssl::pbkdf2HmacSha256(asBytes(code), *salt, rounds, kHashBytes);
    if (!actual) {
        return false;
    }
    const bool same = openssl::constantTimeEqual(*actual, *expected);
    secureWipe(*actual);
    return same;
}

}  // namespace penwell::service
