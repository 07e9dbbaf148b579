#include "penwell/platform/openssl/Digests.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>
#include <stdexcept>

namespace penwell::openssl {
namespace {

constexpr const char* kCryptoDomain = "PenwellCrypto";

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// OpenSSL wants a real address even for no bytes.
const std::uint8_t* dataOf(ByteView bytes) noexcept {
    static const std::uint8_t kNoBytes = 0;
    return bytes.empty() ? &kNoBytes : bytes.data();
}

}  // namespace

Sha256Digest sha256(ByteView data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(dataOf(data), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        ERR_clear_error();
        throw std::runtime_error("SHA-256 failed in OpenSSL");
    }
    return digest;
}

Sha256Digest hmacSha256(ByteView key, ByteView data) {
    Sha256Digest mac{};
    unsigned int length = 0;
    if (key.size() > static_cast<std::size_t>(INT_MAX) ||
        HMAC(EVP_sha256(), dataOf(key), static_cast<int>(key.size()), dataOf(data), data.size(),
             mac.data(), &length) == nullptr ||
        length != mac.size()) {
        ERR_clear_error();
        throw std::runtime_error("HMAC-SHA256 failed in OpenSSL");
    }
    return mac;
}

Result<Bytes> pbkdf2HmacSha256(ByteView password, ByteView salt, std::uint32_t rounds,
                               std::size_t length) {
    if (rounds == 0 || length == 0 || rounds > static_cast<std::uint32_t>(INT_MAX) ||
        length > static_cast<std::size_t>(INT_MAX) ||
        password.size() > static_cast<std::size_t>(INT_MAX) ||
        salt.size() > static_cast<std::size_t>(INT_MAX)) {
        return Failure(kCryptoDomain, 1, "PBKDF2: rounds and length must be 1 to 2^31-1");
    }
    Bytes out(length);
    if (PKCS5_PBKDF2_HMAC(reinterpret_cast<const char*>(dataOf(password)),
                          static_cast<int>(password.size()), dataOf(salt),
                          static_cast<int>(salt.size()), static_cast<int>(rounds), EVP_sha256(),
                          static_cast<int>(length), out.data()) != 1) {
        ERR_clear_error();
        return Failure(kCryptoDomain, 2, "PBKDF2-HMAC-SHA256 failed in OpenSSL");
    }
    return out;
}

bool constantTimeEqual(ByteView a, ByteView b) noexcept {
    // The lengths of hashes are public; only the contents must not leak through timing.
    return a.size() == b.size() && CRYPTO_memcmp(dataOf(a), dataOf(b), a.size()) == 0;
}

Bytes secureRandom(std::size_t count) {
    Bytes out(count);
    if (count > static_cast<std::size_t>(INT_MAX) ||
        (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1)) {
        ERR_clear_error();
        throw std::runtime_error("the random generator could not deliver");
    }
    return out;
}

std::string base64Url(ByteView bytes) {
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (bytes.size() - i == 1) {
        const std::uint32_t v = bytes[i] << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
    } else if (bytes.size() - i == 2) {
        const std::uint32_t v = (bytes[i] << 16) | (bytes[i + 1] << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
    }
    return out;
}

std::optional<Bytes> decodeBase64Url(std::string_view text) {
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(text.size() * 3 / 4);
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        const auto index = kAlphabet.find(c);
        if (index == std::string_view::npos) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(index);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<std::uint8_t>((bits >> count) & 0xff));
        }
    }
    // Leftover bits must be zero, or two texts would decode to the same bytes.
    if ((bits & ((1u << count) - 1)) != 0) {
        return std::nullopt;
    }
    return out;
}

}  // namespace penwell::openssl
