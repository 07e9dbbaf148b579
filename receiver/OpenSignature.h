#pragma once
// The receiver's side of an exported signature (the encrypted record and its wrapped key):
// unwrap the 48-byte key blob with the private key that matches the pinned certificate,
// decrypt the record with it, and decode the point stream. Every step checks what it reads and
// answers a failure whose one line names the file at fault and what is wrong with it.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Keys.h"
#include "penwell/platform/Result.h"
#include "penwell/receiver/Record.h"

namespace penwell::receiver {

/// Domain of the refusals below (a file that cannot be read answers filesystem::kFileDomain);
/// codes are SignatureError values.
inline constexpr const char* kSignatureErrorDomain = "PenwellOpenSignature";

enum class SignatureError : int {
    badKey = 1,    ///< the private key does not parse, or is not RSA
    wrongKey = 2,  ///< the wrapped key does not unwrap with it, or to 48 bytes
    corrupt = 3,   ///< the record does not decrypt, or its point stream does not decode
};

/// The failure "<message>" in this domain.
Failure signatureFailure(SignatureError code, std::string message);

/// Length of the key blob: the 32-byte AES key, then the 16-byte IV.
inline constexpr std::size_t kKeyBlobSize = 48;

/// An RSA private key, from PEM text, a key file or a PKCS#11 token. Move-only; frees the key
/// on destruction.
class PrivateKey {
public:
    /// Parses an unencrypted PEM private key of at most kMaxKeyBytes; `name` is used in error
    /// messages.
    static Result<PrivateKey> fromPem(std::string_view pem, std::string name);
    /// A key file (PEM or DER, encrypted with a passphrase from `location`'s source) or a key
    /// on a PKCS#11 token, which then unwraps on the token; `location` names it in messages.
    static Result<PrivateKey> fromFile(const KeyLocation& location);
    ~PrivateKey();
    PrivateKey(PrivateKey&& other) noexcept;
    PrivateKey& operator=(PrivateKey&&) = delete;
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;

    /// The modulus size in bits.
    int bits() const;
    /// Where the key came from, for messages.
    const std::string& name() const { return name_; }

    /// RSA PKCS#1 v1.5 decryption of a wrapped key blob; checks the wrapped length against
    /// the modulus and the result against kKeyBlobSize. `wrappedName` names the wrapped file.
    /// The failure tells a bad padding apart: never answer it to whoever sent the blob.
    Result<Bytes> unwrapKeyBlob(ByteView wrapped, const std::string& wrappedName) const;

private:
    explicit PrivateKey(std::string name);
    struct Impl;  // the EVP_PKEY, in a CHandle
    std::unique_ptr<Impl> impl_;
    std::string name_;
};

/// AES-256-CBC decryption of the record under a key blob (key, then IV).
Result<Bytes> decryptRecord(ByteView keyBlob, ByteView ciphertext, const std::string& dataName);

struct OpenedSignature {
    Bytes plaintext;     ///< the decrypted record
    PointRecord record;  ///< the decoded strokes
    std::size_t ciphertextBytes = 0;
    std::size_t wrappedKeyBytes = 0;
    int keyBits = 0;
};

/// Reads the three files (the key through its location), unwraps, decrypts and decodes.
Result<OpenedSignature> openSignature(const KeyLocation& privateKey,
                                      const std::filesystem::path& dataFile,
                                      const std::filesystem::path& keyFile);

}  // namespace penwell::receiver
