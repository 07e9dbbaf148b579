#pragma once
// Loading the operator's signing identity (the key that signs evidence records and PDFs, with
// its certificate and chain) from the files a command line or a configuration names. One
// loader for every host and command, so a PKCS#12 file, a PEM pair or a token key means the
// same wherever it is given. The default backend is platform/openssl/OpenSslIdentity.cpp.

#include <filesystem>
#include <optional>
#include <string>

#include "penwell/platform/Cms.h"
#include "penwell/platform/Result.h"

namespace penwell {

/// Domain of the loader's own refusals; codes are IdentityError values. A file that cannot be
/// read answers kFileDomain, a key that does not open kKeyErrorDomain (platform/Keys.h).
inline constexpr const char* kIdentityErrorDomain = "PenwellIdentity";

enum class IdentityError : int {
    needsCertificate = 2,  ///< a PEM, DER or token key without its certificate
    needsPassword = 3,     ///< a PKCS#12 file without a password
    badPkcs12 = 4,         ///< wrong password, or no key and certificate inside
    wrongCertificate = 5,  ///< the certificate named is not the key's
    notCertificate = 6,    ///< a certificate or chain file holds no certificate
};

/// The environment variable that holds the signing key's password when no file names it.
inline constexpr const char* kSignPasswordVariable = "PENWELL_SIGN_PASSWORD";

/// Where the identity is read from.
struct SigningIdentityFiles {
    /// A PEM or DER private key (perhaps encrypted), a PKCS#12 file, or a PKCS#11 URI
    /// ("pkcs11:token=T;object=O") naming a key on a token.
    std::string key;
    /// The key's certificate, PEM or DER, perhaps followed (PEM) by its intermediates. Needed
    /// for a PEM, DER or token key. With a PKCS#12 file it is optional and names which
    /// certificate the file's key must belong to: its first certificate must be the one inside
    /// the file, else the load is refused (so a station never signs under a name other than
    /// the one its operator configured); any further certificates join the chain.
    std::optional<std::filesystem::path> certificate;
    /// Intermediate certificates (PEM or DER) carried in every signature after the file's own,
    /// so a receiver that trusts only the root can check it.
    std::optional<std::filesystem::path> chain;
    /// The PKCS#12 password, the key's passphrase or the token's PIN: the first line of this
    /// file, else the environment variable below; never the command line nor a prompt.
    std::optional<std::filesystem::path> passwordFile;
    std::string passwordVariable = kSignPasswordVariable;
    /// How the options are called, for messages.
    std::string passwordOption = "--sign-password-file";
    std::string certificateOption = "--sign-cert";
};

/// The identity `files` names: the private key in memory as unencrypted PEM (an encrypted key
/// is opened once, here) or, for a token, its location; the certificate first and then the
/// chain, each as PEM, no certificate twice. The key is checked against the certificate now,
/// so a wrong pair fails at start and not on the first signature. Fails with one line naming
/// the file at fault; no message quotes a key or a password.
Result<SigningIdentity> loadSigningIdentity(const SigningIdentityFiles& files);

}  // namespace penwell
