#pragma once
// What the tool tests share: the sender's side of an export (the component's encryption and
// an RSA wrap with a certificate's public key), key pairs made at run time, and temporary
// folders.

#include <filesystem>
#include <string>

#include "platform/Bytes.h"
#include "tools/CertificateTool.h"
#include "tools/StagedFile.h"

namespace penwell::tools::testing {

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

/// A key pair made once per test program (RSA keys take a moment to generate).
const NewCertificate& receiverCertificate();

void writeFile(const std::filesystem::path& path, ByteView bytes);
void writeFile(const std::filesystem::path& path, const std::string& text);
std::string readText(const std::filesystem::path& path);

/// The names of the files in a folder, sorted.
std::vector<std::string> listFolder(const std::filesystem::path& folder);

}  // namespace penwell::tools::testing
