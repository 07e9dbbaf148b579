#pragma once
// The receiver's side of an exported signature: unwrap the 48-byte key blob with the private
// key that matches the pinned certificate, decrypt the record with it, and decode the point
// stream. Every step checks what it reads and fails with a ToolError that names the file at
// fault and what is wrong with it.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Bytes.h"
#include "receiver/Evidence.h"
#include "tools/Record.h"

namespace penwell::tools {

/// Length of the key blob: the 32-byte AES key, then the 16-byte IV.
inline constexpr std::size_t kKeyBlobSize = 48;

/// An RSA private key read from PEM text. Move-only; frees the key on destruction.
class PrivateKey {
public:
    /// Parses an unencrypted PEM private key of at most kMaxKeyBytes; `name` is used in error
    /// messages.
    PrivateKey(std::string_view pem, std::string name);
    static PrivateKey fromFile(const std::filesystem::path& path);
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
    Bytes unwrapKeyBlob(ByteView wrapped, const std::string& wrappedName) const;

private:
    struct Impl;  // the EVP_PKEY, in a CHandle
    std::unique_ptr<Impl> impl_;
    std::string name_;
};

/// AES-256-CBC decryption of the record under a key blob (key, then IV).
Bytes decryptRecord(ByteView keyBlob, ByteView ciphertext, const std::string& dataName);

struct OpenedSignature {
    Bytes plaintext;     ///< the decrypted record
    PointRecord record;  ///< the decoded strokes
    std::size_t ciphertextBytes = 0;
    std::size_t wrappedKeyBytes = 0;
    int keyBits = 0;
};

/// Reads the three files, unwraps, decrypts and decodes.
OpenedSignature openSignature(const std::filesystem::path& privateKeyPem,
                              const std::filesystem::path& dataFile,
                              const std::filesystem::path& keyFile);

/// Reads an evidence record and opens it with the receiver's private key: bound to `document`
/// when given, signed by a certificate `trust` accepts when any is given. Throws ToolError with
/// the receiver library's one-line refusal.
receiver::OpenedEvidence openEvidenceFile(const std::filesystem::path& evidence,
                                          const std::filesystem::path& privateKey,
                                          const std::optional<Sha256>& document,
                                          const std::vector<std::filesystem::path>& trust = {});
/// The same for a record already read; `name` names it in messages.
receiver::OpenedEvidence openEvidenceRecord(ByteView record, const std::string& name,
                                            const std::filesystem::path& privateKey,
                                            const std::optional<Sha256>& document,
                                            const std::vector<std::filesystem::path>& trust = {});

}  // namespace penwell::tools
