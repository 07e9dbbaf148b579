#pragma once
// The buffer crypto group of the secure-signature subsystem: password-based AES keys, random
// bytes, AES-256-CBC encryption and decryption with the error convention of platform/Errors.h,
// and the SHA-1 and MD5 digests. The record encryption uses it, the key wrapping uses its
// SHA-1; decryption and MD5 are offered for hosts and tests.
//
// The group keeps no state between calls; it holds only the crypto library it works through,
// so that a host (or a test) can put another library behind it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Crypto.h"
#include "penwell/platform/Errors.h"

namespace penwell {

/// The cipher: AES, the 128-bit-block cipher (the key length chooses AES-128/192/256).
inline constexpr std::uint32_t kAlgorithm = 0;
/// Key length in bytes: AES-256.
inline constexpr std::size_t kAlgorithmKeySize = 32;
/// AES block length in bytes, and the extra room given to the encryption output.
inline constexpr std::size_t kAlgorithmBlockSize = 16;
/// IV length in bytes.
inline constexpr std::size_t kAlgorithmIVSize = 16;
/// Length in bytes of the fresh PBKDF2 salt drawn for every encryption.
inline constexpr std::size_t kPBKDFSaltSize = 8;
/// PBKDF2 iteration count.
inline constexpr std::size_t kPBKDFRounds = 10000;
/// The domain of every Error this group reports; the code is the failing crypto status.
inline constexpr std::string_view kVellCryptManagerErrorDomain = "PenwellCrypt";

class AES {
public:
    /// `crypto` must not be null (std::invalid_argument).
    explicit AES(std::shared_ptr<Crypto> crypto);

    /// PBKDF2-HMAC-SHA1 over the whole UTF-8 encoding of `password` and all of `salt` (any
    /// length, empty included), kPBKDFRounds rounds: a kAlgorithmKeySize-byte key, or nil if
    /// the derivation fails.
    std::optional<Bytes> AESKeyForPassword(std::string_view password, ByteView salt) const;

    /// `length` bytes from the secure random generator (0 gives an empty buffer), or nil if
    /// the generator fails.
    std::optional<Bytes> randomDataOfLength(std::size_t length) const;

    /// Encrypts `data` with AES-256-CBC and PKCS#7 padding under a fresh IV and a key derived
    /// from `password` and a fresh salt that is thrown away afterwards: the key in `*AESkey` is
    /// the only copy, it cannot be derived again. Returns the bare ciphertext,
    /// 16 * (n / 16 + 1) bytes for n input bytes, or nil.
    ///
    /// `iv` and `AESkey` are mandatory: a null `iv` throws AssertionFailure("IV must not be
    /// NULL"), else a null `AESkey` throws AssertionFailure("salt must not be NULL"), both
    /// before anything is generated or written.
    ///
    /// On failure the result is nil and, if `error` is not null, *error is set to
    /// {kVellCryptManagerErrorDomain, status}. The out-parameters then hold:
    ///   - the IV cannot be drawn (kCCRNGFailure): *iv and *AESkey are nil;
    ///   - the salt cannot be drawn (kCCRNGFailure): *iv holds the fresh IV, *AESkey is nil;
    ///   - the key cannot be derived (kCCParamError, what a cipher given no key reports):
    ///     *iv holds the IV, *AESkey is nil;
    ///   - the cipher fails (its status): *iv and *AESkey hold the IV and key used.
    /// Nothing is ever encrypted without a full IV and a key derived from a full salt.
    std::optional<Bytes> encryptedDataForData(ByteView data, std::string_view password,
                                              std::optional<Bytes>* iv,
                                              std::optional<Bytes>* AESkey,
                                              Error* error = nullptr) const;

    /// Decrypts AES-CBC with PKCS#7 padding; the key length (16, 24 or 32) picks the AES
    /// variant. Returns the plaintext, or nil and, if `error` is not null,
    /// {kVellCryptManagerErrorDomain, status}: kCCAlignmentError for a length not a multiple of
    /// 16, kCCDecodeError for bad padding, kCCParamError for a bad key or IV length.
    std::optional<Bytes> decryptedDataForData(ByteView data, ByteView key, ByteView iv,
                                              Error* error = nullptr) const;

    /// The 20-byte SHA-1 digest of all of `data`.
    Bytes sha1Digest(ByteView data) const;
    /// The 16-byte MD5 digest of all of `data`.
    Bytes md5Digest(ByteView data) const;

private:
    std::shared_ptr<Crypto> crypto_;
};

}  // namespace penwell
