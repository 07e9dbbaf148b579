#pragma once
// The digests, MACs and comparisons a server needs for its secrets and its trail: SHA-256,
// HMAC-SHA256, PBKDF2-HMAC-SHA256, a comparison whose time does not depend on where two
// secrets differ, and unpadded base64url for tokens that travel in URLs. OpenSSL stays behind
// this header.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell::openssl {

using Sha256Digest = std::array<std::uint8_t, 32>;

/// SHA-256 of all of `data`. Throws std::runtime_error only when OpenSSL cannot compute it at
/// all (a broken installation), never answering a wrong digest.
Sha256Digest sha256(ByteView data);

/// HMAC-SHA256 (RFC 2104) of `data` under `key` (any length, the empty key included); throws
/// as sha256() does.
Sha256Digest hmacSha256(ByteView key, ByteView data);

/// PBKDF2 (RFC 8018) with HMAC-SHA256: `length` bytes from `password` and `salt`. Fails
/// (domain "PenwellCrypto") for 0 rounds, an empty output or a failure inside OpenSSL.
Result<Bytes> pbkdf2HmacSha256(ByteView password, ByteView salt, std::uint32_t rounds,
                               std::size_t length);

/// Whether `a` and `b` hold the same bytes, taking a time that depends only on their lengths
/// (OpenSSL's CRYPTO_memcmp): comparing a presented secret with a stored hash must not tell
/// an attacker how many leading bytes were right.
bool constantTimeEqual(ByteView a, ByteView b) noexcept;

/// `count` bytes from OpenSSL's secure generator; throws std::runtime_error when it cannot
/// deliver (a secret must never be made of anything weaker).
Bytes secureRandom(std::size_t count);

/// Base64url (RFC 4648 section 5) without padding, and back. decodeBase64Url answers nullopt
/// for any character outside the alphabet, padding, or a length no encoding has.
std::string base64Url(ByteView bytes);
std::optional<Bytes> decodeBase64Url(std::string_view text);

}  // namespace penwell::openssl
