#pragma once
// Private keys kept on PKCS#11 tokens (hardware security modules, smart cards, SoftHSM),
// reached through OpenSSL's pkcs11 engine. Private to builds that link OpenSSL.

#include <string>

#include "penwell/platform/Keys.h"
#include "penwell/platform/openssl/OpenSslKeys.h"

namespace penwell::openssl {

/// The parts of an RFC 7512 URI this backend reads itself; the rest goes to the engine.
struct TokenUri {
    std::string engineUri;   ///< "pkcs11:" and the path attributes (token, object, id, ...)
    std::string modulePath;  ///< the query's module-path, decoded; empty: the engine's default
    std::optional<std::string> pinValue;   ///< the query's or the path's pin-value, decoded
    std::optional<std::string> pinSource;  ///< the query's pin-source, decoded (a file)
};

/// Splits `uri`; nullopt when it is not a PKCS#11 URI with at least one path attribute, or
/// holds a malformed percent escape.
std::optional<TokenUri> parseTokenUri(std::string_view uri);

/// The private key `location` names on a token. The PIN is the URI's pin-value or pin-source,
/// else the location's passphrase; without one, a token that needs a PIN is refused (never
/// prompted for). The module is the URI's module-path, else $PKCS11_MODULE_PATH, else the
/// engine's default (p11-kit's proxy, which reaches every module p11-kit knows). One module per
/// process: the engine keeps the first. The key never leaves the token; the handle signs and
/// decrypts through it, and stays usable for the life of the process.
Result<KeyHandle> loadTokenKey(const KeyLocation& location);

}  // namespace penwell::openssl
