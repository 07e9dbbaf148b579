#pragma once
// What the evidence commands read besides the record: the signed document's digest and the
// operator's signing key, given as PEM files or as one PKCS#12 file.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Cms.h"
#include "platform/Result.h"
#include "secure/Evidence.h"

namespace penwell::host {

/// Domain of the refusals below (a file that cannot be read answers filesystem::kFileDomain).
inline constexpr const char* kEvidenceInputDomain = "PenwellEvidenceInput";

enum class EvidenceInputError : int {
    unreadableDocument = 1,  ///< the document cannot be read or digested
    needsCertificate = 2,    ///< a PEM or DER key without its certificate
    needsPassword = 3,       ///< a PKCS#12 file without a password
    badPkcs12 = 4,           ///< wrong password, or no key and certificate inside
    wrongCertificate = 5,    ///< the certificate given is not the one in the PKCS#12 file
};

/// The environment variable that holds a PKCS#12 file's password when no file names it.
inline constexpr const char* kSignPasswordVariable = "PENWELL_SIGN_PASSWORD";

/// SHA-256 of the whole file, read in pieces (a document may be large). Fails with
/// "<path>: ..." when it cannot be read.
Result<Sha256> documentDigest(const std::filesystem::path& document);
/// SHA-256 of a document already read; `name` names it in messages.
Result<Sha256> documentDigest(ByteView document, const std::string& name);

/// The operator's key and certificate. `key` is a PEM or DER private key (perhaps encrypted)
/// with `certificate` beside it, a PKCS#12 file holding both (then `certificate`, when given,
/// must be the one inside), or a PKCS#11 URI ("pkcs11:token=T;object=O") naming a key on a
/// token, with `certificate` beside it; the token key is checked against the certificate now,
/// so a wrong pair fails at start. A PKCS#12 password, a key's passphrase or a token's PIN
/// comes from `passwordFile` (its first line) or from $PENWELL_SIGN_PASSWORD, never from the
/// command line nor a prompt. Fails naming the file at fault; no message quotes a key or a
/// password.
Result<SigningIdentity> loadSigningIdentity(
    const std::filesystem::path& key, const std::optional<std::filesystem::path>& certificate,
    const std::optional<std::filesystem::path>& passwordFile);

}  // namespace penwell::host
