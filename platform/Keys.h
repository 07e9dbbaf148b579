#pragma once
// Where a private key is kept, and where the secret that unlocks it comes from: a key file
// (PEM or DER, perhaps encrypted with a passphrase) or a key on a PKCS#11 token (a hardware
// security module or a smart card, named by an RFC 7512 URI, unlocked with the token's PIN).
// A secret never comes from the command line (other users see it in the process list) nor
// from a terminal prompt (a server would wait there for ever): it is the first line of a file
// or an environment variable.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "penwell/platform/Result.h"

namespace penwell {

/// Domain of the failures of loading a key; codes are KeyError values.
inline constexpr const char* kKeyErrorDomain = "PenwellKey";

enum class KeyError : int {
    unreadable = 1,        ///< the key file or the passphrase file cannot be read
    needsPassphrase = 2,   ///< an encrypted key, or a token that asks for a PIN, and no secret
    wrongPassphrase = 3,   ///< the secret does not unlock the key or the token
    notAKey = 4,           ///< the file holds no private key Penwell can use
    tokenUnavailable = 5,  ///< the PKCS#11 engine or module cannot be loaded
    tokenKeyMissing = 6,   ///< the token holds no private key the URI names
};

/// The longest passphrase or PIN read from a file: a line, not a document.
inline constexpr std::size_t kMaxPassphraseBytes = 4096;
/// The largest key file read (an RSA-16384 key is 12 KB): a wrong file fails at once.
inline constexpr std::size_t kMaxKeyFileBytes = 1u << 20;

struct KeyLocation {
    KeyLocation() = default;
    /// A key file with no source for a passphrase (an encrypted key is then refused, saying
    /// where its passphrase may come from). Implicit, so a path names a key wherever a
    /// location is asked for.
    KeyLocation(const std::filesystem::path& file) : key(file.string()) {}  // NOLINT

    /// A file's path, or a PKCS#11 URI: "pkcs11:token=T;object=O" (attributes id, serial,
    /// type too; the query may give module-path, pin-value or pin-source).
    std::string key;
    /// The passphrase or PIN: the first line of this file (without its line end) ...
    std::optional<std::filesystem::path> passphraseFile;
    /// ... else this environment variable's value, when it is set.
    std::string passphraseVariable;
    /// The option that names passphraseFile, for messages ("--sign-password-file").
    std::string passphraseOption;

    /// Whether `key` is a PKCS#11 URI rather than a file.
    bool onToken() const { return std::string_view(key).starts_with("pkcs11:"); }
    /// How messages name the key: the file, or the URI without any PIN in it.
    std::string name() const;
};

/// The secret for `location`: the passphrase file's first line, else the environment
/// variable's value, else nothing. Fails naming the passphrase file when it cannot be read.
/// The caller wipes the answer after use.
Result<std::optional<std::string>> readPassphrase(const KeyLocation& location);

/// Where a refused key's secret may come from, for messages: "--x-password-file or $VAR".
std::string passphraseSources(const KeyLocation& location);

}  // namespace penwell
