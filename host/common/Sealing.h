#pragma once
// Who a command seals for: the run-time recipients an institution names (--recipient), and the
// guard that keeps the demo certificate, whose private key is public, from sealing anything
// unless a trial asks for it (--demo), with one warning line for each use.

#include <filesystem>
#include <string>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell::host {

/// Domain of the refusals below; codes are SealingError values.
inline constexpr const char* kSealingDomain = "PenwellSealing";

enum class SealingError : int {
    demoRefused = 1,   ///< the demo certificate would seal, and --demo was not given
    badRecipient = 2,  ///< a recipient certificate is unusable (the message says why)
};

/// SHA-1 of the DER encoding of demo-certificate/Penwell.dat, the certificate whose private key
/// is in the repository for anyone to read.
inline constexpr const char* kDemoCertificateSha1 = "8a4d775e95cb7073ef31f0417ed84ed226dd3493";

/// Whether `certificate` (PEM or DER) is the demo certificate.
bool isDemoCertificate(ByteView certificate);
/// Whether this build pins the demo certificate: then the encrypted record's key, and evidence
/// sealed for the pinned certificate, can be opened by anyone.
bool pinsDemoCertificate();

/// A recipient certificate read from its file.
struct Recipient {
    std::filesystem::path file;
    Bytes certificate;  ///< as the file holds it, PEM or DER
    bool demo = false;  ///< it is the demo certificate
};

/// Reads the --recipient files and checks each: one X.509 certificate, an RSA key of 2048 bits
/// or more or an EC key on P-256 or P-384, within its validity period. Fails naming the file.
Result<std::vector<Recipient>> loadRecipients(const std::vector<std::filesystem::path>& files);

/// What a command is about to seal, for the demo guard.
struct Sealing {
    /// The pinned certificate seals: the encrypted record's key wrap (--data, --key, and every
    /// record serve saves), or evidence with no recipient named.
    bool pinned = false;
    std::vector<Recipient> recipients;
};

/// Refuses, naming what would seal with it and what to do instead, when the demo certificate
/// would seal and `demoAllowed` is false. Else answers the warning line to print once for this
/// use (without "penwell: "), or an empty string when the demo certificate seals nothing.
Result<std::string> checkDemoUse(const Sealing& sealing, bool demoAllowed);

}  // namespace penwell::host
