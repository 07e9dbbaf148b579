#pragma once
// The crypto library as the component sees it: password-based key derivation, a secure random
// generator, AES-CBC with PKCS#7 padding and two digests. The calls mirror the CommonCrypto
// shapes (status results, caller-provided output with an out-length) so that the secure/ code
// reads the same whichever library sits behind it. The default backend is
// platform/openssl/OpenSslCrypto.h.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "penwell/platform/Bytes.h"

namespace penwell {

/// The status of a crypto call: 0 on success, one of the negative kCC* values on failure.
using CCCryptorStatus = std::int32_t;

inline constexpr CCCryptorStatus kCCSuccess = 0;
inline constexpr CCCryptorStatus kCCParamError = -4300;
inline constexpr CCCryptorStatus kCCBufferTooSmall = -4301;
inline constexpr CCCryptorStatus kCCMemoryFailure = -4302;
inline constexpr CCCryptorStatus kCCAlignmentError = -4303;
inline constexpr CCCryptorStatus kCCDecodeError = -4304;
inline constexpr CCCryptorStatus kCCUnimplemented = -4305;
inline constexpr CCCryptorStatus kCCOverflow = -4306;
inline constexpr CCCryptorStatus kCCRNGFailure = -4307;
inline constexpr CCCryptorStatus kCCUnspecifiedError = -4308;
inline constexpr CCCryptorStatus kCCCallSequenceError = -4309;

/// The crypto library. Implementations keep no state between calls that a caller can observe,
/// so one instance may be shared freely (also between threads). Every method that can fail
/// returns a status; no method throws except the digests (see there).
///
/// Which failure gives which status, for every implementation:
///   kCCParamError       a parameter the algorithm cannot take: AES key not 16, 24 or 32 bytes;
///                       IV not 16 bytes (an absent IV is refused, never replaced by zeros);
///                       PBKDF2 with 0 rounds or an empty output.
///   kCCBufferTooSmall   the output span has less room than the operation may write.
///   kCCMemoryFailure    the library could not allocate its working state.
///   kCCAlignmentError   decryption input whose length is not a multiple of the 16-byte block.
///   kCCDecodeError      decryption whose last block carries no valid PKCS#7 padding, including
///                       an empty input (there is no padding block to strip).
///   kCCUnimplemented    the library does not offer the algorithm (e.g. not in its provider).
///   kCCOverflow         an input so long that the output length is not representable.
///   kCCRNGFailure       the random generator could not deliver.
///   kCCUnspecifiedError any other failure inside the library.
/// kCCCallSequenceError is defined for completeness: one-shot calls have no sequence to break.
class Crypto {
public:
    enum class Operation : std::uint32_t {
        kEncrypt = 0,
        kDecrypt = 1,
    };

    static constexpr std::size_t kAesBlockSize = 16;
    static constexpr std::size_t kSha1Length = 20;
    static constexpr std::size_t kMd5Length = 16;

    using Sha1Digest = std::array<std::uint8_t, kSha1Length>;
    using Md5Digest = std::array<std::uint8_t, kMd5Length>;

    virtual ~Crypto() = default;

    /// PBKDF2 (RFC 2898) with HMAC-SHA1: fills all of `derivedKey` from `password` and `salt`,
    /// both taken as raw bytes of any length, the empty ones included.
    virtual CCCryptorStatus pbkdf2HmacSha1(ByteView password, ByteView salt, std::uint32_t rounds,
                                           std::span<std::uint8_t> derivedKey) const = 0;

    /// Fills all of `out` from a cryptographically secure generator. An empty span succeeds.
    virtual CCCryptorStatus randomBytes(std::span<std::uint8_t> out) const = 0;

    /// AES in CBC mode with PKCS#7 padding, one shot. The key length picks AES-128/192/256; the
    /// IV is one block. `output` is the room available: encryption needs 16 * (n / 16 + 1)
    /// bytes for n input bytes, decryption needs the input's length. On success `outLength` is
    /// the number of bytes written; on kCCBufferTooSmall it is the room that would be needed;
    /// on any other failure it is 0 and nothing of the plaintext is left in `output`.
    virtual CCCryptorStatus aesCbcPkcs7(Operation operation, ByteView key, ByteView iv,
                                        ByteView input, std::span<std::uint8_t> output,
                                        std::size_t& outLength) const = 0;

    /// SHA-1 (FIPS 180) and MD5 (RFC 1321) of all of `data`. These cannot fail on valid input;
    /// should the library be unable to compute them at all (e.g. MD5 withheld by a FIPS-only
    /// configuration) they throw std::runtime_error rather than return a wrong digest.
    virtual Sha1Digest sha1(ByteView data) const = 0;
    virtual Md5Digest md5(ByteView data) const = 0;

protected:
    Crypto() = default;
    Crypto(const Crypto&) = default;
    Crypto& operator=(const Crypto&) = default;
};

}  // namespace penwell
