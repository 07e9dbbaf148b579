// Keys on PKCS#11 tokens through OpenSSL's pkcs11 engine (libp11: Debian's
// libengine-pkcs11-openssl). Debian 12 packages no PKCS#11 provider for OpenSSL 3, and the
// engine interface, deprecated since OpenSSL 3.0 but built into Debian's OpenSSL, works with
// the keys in every operation Penwell needs: CMS and PDF signatures, RSA decryption and ECDH.
// OPENSSL_SUPPRESS_DEPRECATED lets this one file call it; nothing else in Penwell uses engines.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "penwell/platform/openssl/OpenSslPkcs11.h"

#include <openssl/engine.h>
#include <openssl/err.h>
#include <openssl/ui.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "penwell/platform/Hex.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell::openssl {
namespace {

Failure keyFailure(KeyError code, std::string message) {
    clearErrors();
    return {kKeyErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexDigitValue(text[i + 1]), low = hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

/// The engine writes its own account of a failure (a PIN refused, a key not found) to
/// standard error, several lines of it; Penwell's one line says the same. It is held off for
/// the span of a call into the engine.
class QuietStandardError {
public:
    QuietStandardError() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) {
            ::dup2(null, STDERR_FILENO);
        }
        if (null >= 0) {
            ::close(null);
        }
    }
    ~QuietStandardError() {
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    int saved_ = -1;
};

/// The engine, loaded and initialised once per process with the first module asked for, and
/// the keys loaded from it by URI: a token logs in once, not at every signature. Neither is
/// ever freed: keys loaded from the engine live as long as their holders, up to the process.
struct Engine {
    ENGINE* engine = nullptr;
    std::string module;
    std::string failure;  // why it could not be loaded, when engine is null
    std::map<std::string, KeyHandle> keys;
};

std::mutex& engineMutex() {
    static std::mutex mutex;
    return mutex;
}

/// The engine; the caller holds engineMutex().
Engine& loadedEngine(const std::string& module, bool& moduleDiffers) {
    static Engine state;
    static bool tried = false;
    moduleDiffers = tried && state.engine != nullptr && !module.empty() && module != state.module;
    if (tried) {
        return state;
    }
    tried = true;
    const QuietStandardError quiet;
    ENGINE* engine = ENGINE_by_id("pkcs11");
    if (engine == nullptr) {
        state.failure =
            "OpenSSL's pkcs11 engine is not installed (Debian: libengine-pkcs11-openssl)";
        return state;
    }
    std::string chosen = module;
    if (chosen.empty()) {
        if (const char* fromEnvironment = std::getenv("PKCS11_MODULE_PATH")) {
            chosen = fromEnvironment;
        }
    }
    if ((!chosen.empty() && ENGINE_ctrl_cmd_string(engine, "MODULE_PATH", chosen.c_str(), 0) != 1) ||
        ENGINE_init(engine) != 1) {
        ENGINE_free(engine);
        state.failure = "the PKCS#11 module " + (chosen.empty() ? "(the engine's default)" : chosen) +
                        " cannot be loaded";
        return state;
    }
    ENGINE_free(engine);  // the structural reference; ENGINE_init's functional one stays
    state.engine = engine;
    state.module = chosen;
    return state;
}

/// What the engine's PIN prompt gets instead of a terminal: the PIN, or a refusal.
struct PinAnswer {
    const std::optional<std::string>* pin = nullptr;
    bool asked = false;
};

int answerPin(char* buffer, int size, int, void* data) {
    auto* answer = static_cast<PinAnswer*>(data);
    answer->asked = true;
    if (answer->pin == nullptr || !answer->pin->has_value()) {
        return -1;
    }
    const std::string& pin = **answer->pin;
    if (pin.size() >= static_cast<std::size_t>(size)) {
        return -1;
    }
    pin.copy(buffer, pin.size());
    return static_cast<int>(pin.size());
}

using UiMethodHandle = CHandle<UI_METHOD, UI_destroy_method>;

}  // namespace

std::optional<TokenUri> parseTokenUri(std::string_view uri) {
    if (!uri.starts_with("pkcs11:")) {
        return std::nullopt;
    }
    uri.remove_prefix(7);
    const std::size_t question = uri.find('?');
    const std::string_view path = uri.substr(0, question);
    const std::string_view query =
        question == std::string_view::npos ? std::string_view() : uri.substr(question + 1);
    TokenUri parsed;
    parsed.engineUri = "pkcs11:";
    bool any = false;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find(';', start), path.size());
        const std::string_view attribute = path.substr(start, end - start);
        start = end + 1;
        if (attribute.empty()) {
            continue;
        }
        if (!percentDecoded(attribute)) {
            return std::nullopt;
        }
        if (attribute.starts_with("pin-value=")) {
            parsed.pinValue = percentDecoded(attribute.substr(10));
            continue;
        }
        parsed.engineUri += any ? ";" : "";
        parsed.engineUri += attribute;
        any = true;
    }
    for (std::size_t start = 0; start < query.size();) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        const std::string_view attribute = query.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = attribute.find('=');
        const std::string_view name = attribute.substr(0, equals);
        const auto value = percentDecoded(
            equals == std::string_view::npos ? std::string_view() : attribute.substr(equals + 1));
        if (!value) {
            return std::nullopt;
        }
        if (name == "module-path") {
            parsed.modulePath = *value;
        } else if (name == "pin-value") {
            parsed.pinValue = *value;
        } else if (name == "pin-source") {
            parsed.pinSource = value->starts_with("file:") ? value->substr(5) : *value;
        }
        // Other query attributes (module-name) do not apply to the one engine module.
    }
    if (!any) {
        return std::nullopt;
    }
    return parsed;
}

Result<KeyHandle> loadTokenKey(const KeyLocation& location) {
    const std::string name = location.name();
    const std::optional<TokenUri> uri = parseTokenUri(location.key);
    if (!uri) {
        return keyFailure(KeyError::notAKey,
                          name + ": not a PKCS#11 URI naming a key (pkcs11:token=T;object=O)");
    }
    std::optional<std::string> pin = uri->pinValue;
    if (!pin && uri->pinSource) {
        KeyLocation source;
        source.passphraseFile = *uri->pinSource;
        Result<std::optional<std::string>> read = readPassphrase(source);
        if (!read) {
            return read.error();
        }
        pin = std::move(*read);
    }
    if (!pin) {
        Result<std::optional<std::string>> read = readPassphrase(location);
        if (!read) {
            return read.error();
        }
        pin = std::move(*read);
    }
    // The engine opens the module lazily and would blame the key; name the file instead.
    if (std::error_code ec;
        !uri->modulePath.empty() && !std::filesystem::is_regular_file(uri->modulePath, ec)) {
        return keyFailure(KeyError::tokenUnavailable,
                          name + ": the PKCS#11 module " + uri->modulePath + " does not exist");
    }
    const std::lock_guard lock(engineMutex());
    bool moduleDiffers = false;
    Engine& engine = loadedEngine(uri->modulePath, moduleDiffers);
    if (engine.engine == nullptr) {
        return keyFailure(KeyError::tokenUnavailable, name + ": " + engine.failure);
    }
    if (moduleDiffers) {
        return keyFailure(KeyError::tokenUnavailable,
                          name + ": this process already uses the PKCS#11 module " +
                              engine.module + "; one module per process");
    }
    const auto shared = [](const KeyHandle& key) {
        EVP_PKEY_up_ref(key.get());
        return KeyHandle(key.get());
    };
    if (const auto known = engine.keys.find(uri->engineUri); known != engine.keys.end()) {
        if (pin) {
            secureWipe(*pin);
        }
        return shared(known->second);
    }
    PinAnswer answer{&pin};
    const UiMethodHandle ui(UI_UTIL_wrap_read_pem_callback(answerPin, 0));
    KeyHandle key;
    if (ui != nullptr) {
        const QuietStandardError quiet;
        key.reset(ENGINE_load_private_key(engine.engine, uri->engineUri.c_str(), ui.get(), &answer));
    }
    if (pin) {
        secureWipe(*pin);
    }
    if (key != nullptr) {
        clearErrors();
        const KeyHandle& kept = engine.keys.emplace(uri->engineUri, std::move(key)).first->second;
        return shared(kept);
    }
    if (answer.asked && !pin) {
        return keyFailure(KeyError::needsPassphrase,
                          name + ": the token asks for its PIN: give it in " +
                              passphraseSources(location) + " (or pin-source in the URI)");
    }
    if (answer.asked) {
        return keyFailure(KeyError::wrongPassphrase,
                          name + ": the token refused the PIN, or holds no such private key");
    }
    return keyFailure(KeyError::tokenKeyMissing,
                      name + ": no token or private key matches (token, object or id)");
}

}  // namespace penwell::openssl
