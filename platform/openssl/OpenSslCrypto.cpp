#include "penwell/platform/openssl/OpenSslCrypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <limits>
#include <stdexcept>
#include <string>

#include "penwell/platform/CHandle.h"

namespace penwell::openssl {
namespace {

using Kdf = CHandle<EVP_KDF, EVP_KDF_free>;
using KdfContext = CHandle<EVP_KDF_CTX, EVP_KDF_CTX_free>;
using Cipher = CHandle<EVP_CIPHER, EVP_CIPHER_free>;
using CipherContext = CHandle<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using MessageDigest = CHandle<EVP_MD, EVP_MD_free>;

constexpr std::size_t kBlock = Crypto::kAesBlockSize;

// OpenSSL counts cipher and random lengths in int; longer buffers go through in slices. A slice
// is a whole number of blocks so that slicing never changes what the cipher buffers.
constexpr std::size_t kMaxSlice = std::size_t{1} << 30;
static_assert(kMaxSlice <= static_cast<std::size_t>(INT_MAX) && kMaxSlice % kBlock == 0);

// Pops whatever OpenSSL queues during one call, so that a failure already translated into a
// status does not surface later as a stale error in an unrelated caller's diagnostics.
class ErrorQueueMark {
public:
    ErrorQueueMark() noexcept { ERR_set_mark(); }
    ~ErrorQueueMark() { ERR_pop_to_mark(); }
    ErrorQueueMark(const ErrorQueueMark&) = delete;
    ErrorQueueMark& operator=(const ErrorQueueMark&) = delete;
};

// OSSL_PARAM wants a mutable pointer even for inputs it only copies, and an empty buffer may
// arrive with a null pointer; give OpenSSL a real address in both cases.
void* paramData(ByteView bytes) noexcept {
    static const std::uint8_t kNoBytes = 0;
    return const_cast<std::uint8_t*>(bytes.empty() ? &kNoBytes : bytes.data());
}

const char* aesCbcName(std::size_t keyLength) noexcept {
    switch (keyLength) {
        case 16:
            return "AES-128-CBC";
        case 24:
            return "AES-192-CBC";
        case 32:
            return "AES-256-CBC";
        default:
            return nullptr;
    }
}

template <std::size_t N>
std::array<std::uint8_t, N> digestOf(const char* name, ByteView data) {
    const ErrorQueueMark mark;
    const MessageDigest md{EVP_MD_fetch(nullptr, name, nullptr)};
    if (!md || EVP_MD_get_size(md.get()) != static_cast<int>(N)) {
        throw std::runtime_error(std::string(name) + " is not available from OpenSSL");
    }
    std::array<std::uint8_t, N> digest{};
    unsigned int length = 0;
    if (EVP_Digest(paramData(data), data.size(), digest.data(), &length, md.get(), nullptr) != 1 ||
        length != N) {
        throw std::runtime_error(std::string(name) + " digest failed in OpenSSL");
    }
    return digest;
}

class OpenSslCrypto final : public Crypto {
public:
    CCCryptorStatus pbkdf2HmacSha1(ByteView password, ByteView salt, std::uint32_t rounds,
                                   std::span<std::uint8_t> derivedKey) const override {
        if (rounds == 0 || derivedKey.empty()) {
            return kCCParamError;
        }
        const ErrorQueueMark mark;
        const Kdf kdf{EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_PBKDF2, nullptr)};
        if (!kdf) {
            return kCCUnimplemented;
        }
        const KdfContext context{EVP_KDF_CTX_new(kdf.get())};
        if (!context) {
            return kCCMemoryFailure;
        }
        unsigned int iterations = rounds;
        char digestName[] = "SHA1";
        // RFC 2898 sets no minimum salt, key or round count, and callers rely on that (short
        // salts, one round in the RFC 6070 vectors); switch off OpenSSL's SP 800-132 checks.
        int relaxed = 1;
        const OSSL_PARAM params[] = {
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, paramData(password),
                                              password.size()),
            OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, paramData(salt), salt.size()),
            OSSL_PARAM_construct_uint(OSSL_KDF_PARAM_ITER, &iterations),
            OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digestName, 0),
            OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &relaxed),
            OSSL_PARAM_construct_end(),
        };
        if (EVP_KDF_derive(context.get(), derivedKey.data(), derivedKey.size(), params) != 1) {
            OPENSSL_cleanse(derivedKey.data(), derivedKey.size());
            return kCCUnspecifiedError;
        }
        return kCCSuccess;
    }

    CCCryptorStatus randomBytes(std::span<std::uint8_t> out) const override {
        const ErrorQueueMark mark;
        for (std::size_t offset = 0; offset < out.size();) {
            const std::size_t slice = std::min(kMaxSlice, out.size() - offset);
            if (RAND_bytes(out.data() + offset, static_cast<int>(slice)) != 1) {
                // A half-filled buffer must not pass for random key material.
                OPENSSL_cleanse(out.data(), out.size());
                return kCCRNGFailure;
            }
            offset += slice;
        }
        return kCCSuccess;
    }

    CCCryptorStatus aesCbcPkcs7(Operation operation, ByteView key, ByteView iv, ByteView input,
                                std::span<std::uint8_t> output,
                                std::size_t& outLength) const override {
        outLength = 0;
        const char* const cipherName = aesCbcName(key.size());
        const bool encrypt = operation == Operation::kEncrypt;
        if (cipherName == nullptr || iv.size() != kBlock ||
            (!encrypt && operation != Operation::kDecrypt)) {
            return kCCParamError;
        }

        // OpenSSL reports these only as a generic failure, or writes past a short buffer, so
        // they are settled before it is called.
        std::size_t needed = 0;
        if (encrypt) {
            if (input.size() > std::numeric_limits<std::size_t>::max() - kBlock) {
                return kCCOverflow;
            }
            needed = (input.size() / kBlock + 1) * kBlock;
        } else {
            if (input.size() % kBlock != 0) {
                return kCCAlignmentError;
            }
            if (input.empty()) {
                return kCCDecodeError;
            }
            needed = input.size();
        }
        if (output.size() < needed) {
            outLength = needed;
            return kCCBufferTooSmall;
        }

        const ErrorQueueMark mark;
        const Cipher cipher{EVP_CIPHER_fetch(nullptr, cipherName, nullptr)};
        if (!cipher) {
            return kCCUnimplemented;
        }
        const CipherContext context{EVP_CIPHER_CTX_new()};
        if (!context) {
            return kCCMemoryFailure;
        }
        if (EVP_CipherInit_ex2(context.get(), cipher.get(), key.data(), iv.data(), encrypt ? 1 : 0,
                               nullptr) != 1 ||
            EVP_CIPHER_CTX_set_padding(context.get(), 1) != 1) {
            return kCCUnspecifiedError;
        }

        // Decryption writes at most what it has read so far (it holds back the last block for
        // the padding check), so with room for the whole input every write below stays inside
        // `output`; encryption was given room for the padded length.
        std::size_t written = 0;
        const auto fail = [&](CCCryptorStatus status) {
            // Leave no plaintext behind in the caller's buffer when the call fails.
            OPENSSL_cleanse(output.data(), written);
            return status;
        };
        for (std::size_t offset = 0; offset < input.size();) {
            const std::size_t slice = std::min(kMaxSlice, input.size() - offset);
            int moved = 0;
            if (EVP_CipherUpdate(context.get(), output.data() + written, &moved,
                                 input.data() + offset, static_cast<int>(slice)) != 1) {
                return fail(kCCUnspecifiedError);
            }
            written += static_cast<std::size_t>(moved);
            offset += slice;
        }
        int moved = 0;
        if (EVP_CipherFinal_ex(context.get(), output.data() + written, &moved) != 1) {
            return fail(encrypt ? kCCUnspecifiedError : kCCDecodeError);
        }
        written += static_cast<std::size_t>(moved);
        outLength = written;
        return kCCSuccess;
    }

    Sha1Digest sha1(ByteView data) const override { return digestOf<kSha1Length>("SHA1", data); }

    Md5Digest md5(ByteView data) const override { return digestOf<kMd5Length>("MD5", data); }
};

}  // namespace

std::shared_ptr<penwell::Crypto> makeCrypto() {
    return std::make_shared<OpenSslCrypto>();
}

}  // namespace penwell::openssl
