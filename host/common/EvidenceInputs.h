#pragma once
// What the evidence commands read besides the record: the signed document's digest. (The
// operator's signing key is loaded by platform/SigningIdentityFiles.h, for every command.)

#include <filesystem>
#include <string>

#include "penwell/platform/Result.h"
#include "penwell/secure/Evidence.h"

namespace penwell::host {

/// Domain of the refusals below (a file that cannot be read answers filesystem::kFileDomain).
inline constexpr const char* kEvidenceInputDomain = "PenwellEvidenceInput";

enum class EvidenceInputError : int {
    unreadableDocument = 1,  ///< the document cannot be read or digested
    // 2 to 5 were the signing key's: IdentityError (platform/SigningIdentityFiles.h) now
};

/// SHA-256 of the whole file, read in pieces (a document may be large). Fails with
/// "<path>: ..." when it cannot be read.
Result<Sha256> documentDigest(const std::filesystem::path& document);
/// SHA-256 of a document already read; `name` names it in messages.
Result<Sha256> documentDigest(ByteView document, const std::string& name);

}  // namespace penwell::host
