#pragma once
// The service's secrets and ids. Link tokens and API keys are random and shown once; the
// store keeps only their SHA-256, so a copy of the database opens no link and authenticates
// no client. Access codes are short and chosen by people, so they are kept as a salted
// PBKDF2-HMAC-SHA256 hash that is slow to guess from.

#include <cstdint>
#include <string>
#include <string_view>

#include "penwell/platform/Bytes.h"

namespace penwell::service {

/// A secret as handed out (once) and as stored.
struct IssuedSecret {
    std::string text;  ///< what the holder presents: a link token or an API key
    Bytes hash;        ///< SHA-256 of `text`, all the store keeps
};

/// A signing-link token: 128 random bits as 22 characters of unpadded base64url.
IssuedSecret issueLinkToken();

/// An API key: "pwk_" and 256 random bits as base64url.
IssuedSecret issueApiKey();

/// SHA-256 of a presented token or key, for looking it up.
Bytes secretHash(std::string_view text);

/// A new id: `prefix` and 96 random bits as base64url ("req_3q2V...").
std::string newId(std::string_view prefix);

/// Rounds of PBKDF2 for a new access code: about 0.1 s on one core of a 2024 server, which
/// bounds guessing a 6-digit code from a stolen database to days per code.
inline constexpr std::uint32_t kAccessCodeRounds = 210'000;

/// The stored form of an access code: "pbkdf2-sha256$<rounds>$<salt>$<hash>", salt (16
/// random bytes) and hash (32 bytes) in base64url.
std::string hashAccessCode(std::string_view code, std::uint32_t rounds = kAccessCodeRounds);

/// Whether `code` is the one `stored` was made from; false for a stored form this function
/// cannot read (so a damaged row refuses, never admits). Compares in constant time.
bool accessCodeMatches(std::string_view code, std::string_view stored);

}  // namespace penwell::service
