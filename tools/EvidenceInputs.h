#pragma once
// What the evidence commands read besides the record: the signed document's digest and the
// operator's signing key, given as PEM files or as one PKCS#12 file.

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Cms.h"
#include "secure/Evidence.h"
#include "tools/Commands.h"

namespace penwell::tools {

/// The environment variable that holds a PKCS#12 file's password when no file names it.
inline constexpr const char* kSignPasswordVariable = "PENWELL_SIGN_PASSWORD";

/// SHA-256 of the whole file, read in pieces (a document may be large). Throws ToolError
/// "<path>: ..." when it cannot be read.
Sha256 documentDigest(const std::filesystem::path& document);
/// SHA-256 of a document already read; `name` names it in messages.
Sha256 documentDigest(ByteView document, const std::string& name);

/// The operator's key and certificate. `key` is a PEM or DER private key with `certificate`
/// beside it, or a PKCS#12 file holding both (then `certificate`, when given, must be the one
/// inside). A PKCS#12 password comes from `passwordFile` (its first line) or from
/// $PENWELL_SIGN_PASSWORD, never from the command line. Throws ToolError naming the file at
/// fault; no message quotes a key or a password.
SigningIdentity loadSigningIdentity(const std::filesystem::path& key,
                                    const std::optional<std::filesystem::path>& certificate,
                                    const std::optional<std::filesystem::path>& passwordFile);

/// The identity --sign-key, --sign-cert and --sign-password-file name, or none without
/// --sign-key (then --sign-cert and --sign-password-file are refused: they would be ignored).
std::optional<SigningIdentity> loadSigningIdentity(const SignOptions& options);

}  // namespace penwell::tools
