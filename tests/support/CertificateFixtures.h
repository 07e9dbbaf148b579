#pragma once
// Test-only certificate material made with OpenSSL directly, independent of the code under
// test: keys, self-signed certificates, decryption with a private key, scratch folders.

#include <openssl/evp.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/CHandle.h"

namespace penwell::test {

using PrivateKey = CHandle<EVP_PKEY, EVP_PKEY_free>;

/// One subject entry, e.g. {"CN", "Keyloft"}; values are UTF-8.
using NameEntry = std::pair<std::string, std::string>;

/// A fresh RSA key of `bits` bits.
PrivateKey generateRsaKey(int bits = 2048);

/// A fresh EC key on the named curve ("P-256", "P-384", "P-521"), or an "ED25519" key.
PrivateKey generateKey(const char* kind);

/// A self-signed certificate for `key` with `subject` (in order), as DER; with `keyUsage`
/// (OpenSSL's text, "critical,digitalSignature") it carries that key usage extension. It is
/// valid from `validDays.first` to `validDays.second` days from now.
Bytes makeSelfSignedDer(EVP_PKEY* key, const std::vector<NameEntry>& subject,
                        const std::string& keyUsage = "",
                        std::pair<long, long> validDays = {0, 365});

/// The key as PKCS#8 PEM; encrypted with AES-256-CBC under `passphrase` when it is not empty.
std::string keyPem(EVP_PKEY* key, const std::string& passphrase = "");
/// The certificate's PEM text.
std::string certificatePem(ByteView der);

/// The committed demo certificate and its private key.
std::filesystem::path demoCertificatePath();
Bytes demoCertificateDer();
PrivateKey demoPrivateKey();

/// RSA PKCS#1 v1.5 decryption; empty on failure.
Bytes decryptPkcs1(EVP_PKEY* key, ByteView cipherText);

void writeFile(const std::filesystem::path& path, ByteView contents);
void writeFile(const std::filesystem::path& path, const std::string& text);
std::string readText(const std::filesystem::path& path);
Bytes readBytes(const std::filesystem::path& path);
/// The names of the files in a folder, sorted.
std::vector<std::string> listFolder(const std::filesystem::path& folder);

/// RSA PKCS#1 v1.5 encryption of `plain` under the public key in a DER certificate.
Bytes wrapWithCertificate(ByteView certificateDer, ByteView plain);

/// An exported signature as the component makes it.
struct Sealed {
    Bytes ciphertext;
    Bytes wrappedKey;
    Bytes keyBlob;  ///< the 48 bytes before wrapping
};

/// Encrypts `record` under a fresh key and IV and wraps key and IV for the certificate.
Sealed seal(ByteView record, ByteView certificateDer);

/// A fresh folder under the system's temporary folder, removed with everything in it at the
/// end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace penwell::test
