#pragma once
// The default crypto backend: OpenSSL 3 through its EVP and EVP_KDF interfaces. The header
// exposes only the factory, so nothing that includes it sees an OpenSSL header.
//
// How OpenSSL's failures become statuses (the general table is on penwell::Crypto):
//   - Lengths that OpenSSL would reject without saying why are checked here first: an AES key
//     not 16/24/32 bytes or an IV not 16 bytes gives kCCParamError, decryption input not a
//     multiple of 16 gives kCCAlignmentError, an empty decryption input kCCDecodeError, output
//     room short of what the operation may write kCCBufferTooSmall, PBKDF2 with 0 rounds or
//     no output kCCParamError.
//   - EVP_DecryptFinal_ex failing (the last block has no valid PKCS#7 padding) gives
//     kCCDecodeError. A wrong key or IV usually ends there too, but about one time in 256 the
//     garbage happens to end in valid padding and the decryption "succeeds": CBC with PKCS#7
//     cannot tell, only an authenticated mode could.
//   - RAND_bytes failing gives kCCRNGFailure.
//   - A context that cannot be allocated gives kCCMemoryFailure; an algorithm that cannot be
//     fetched from the loaded providers gives kCCUnimplemented.
//   - Any other OpenSSL failure gives kCCUnspecifiedError.
// Errors that OpenSSL queues while failing are popped again before the call returns, so a
// translated failure leaves the thread's OpenSSL error queue as it found it.

#include <memory>

#include "penwell/platform/Crypto.h"

namespace penwell::openssl {

/// A Crypto backed by OpenSSL's default library context. Never null.
std::shared_ptr<penwell::Crypto> makeCrypto();

}  // namespace penwell::openssl
