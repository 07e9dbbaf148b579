#pragma once
// Opening bytes sealed for a recipient (CMS AuthEnvelopedData, AES-256-GCM, as Cms::envelope
// makes them): a verification template sealed by `penwell verify enrol --recipient`, or any
// other secret a host seals the same way.

#include <string>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Keys.h"
#include "penwell/platform/Result.h"

namespace penwell::receiver {

/// Domain of the refusals below (a key that cannot be loaded answers kKeyErrorDomain).
inline constexpr const char* kSealedErrorDomain = "PenwellOpenSealed";

enum class SealedError : int {
    malformed = 1,          ///< not a DER CMS AuthEnvelopedData
    cannotDecrypt = 2,      ///< not sealed for this key, or altered (the GCM tag does not match)
    tooManyRecipients = 3,  ///< more than kMaxSealedRecipients: not opened
};

/// The most recipients sealed bytes may name and still be opened: the key is tried on each,
/// at the cost of a private-key operation apiece.
inline constexpr int kMaxSealedRecipients = 16;

/// Whether `bytes` look sealed (a DER SEQUENCE) rather than text.
bool looksSealed(ByteView bytes);

/// The plaintext of `sealed`, opened with the private key `key` names; `name` names the
/// sealed bytes in messages.
Result<Bytes> openSealed(ByteView sealed, const std::string& name, const KeyLocation& key);

}  // namespace penwell::receiver
