#include "penwell/platform/Keys.h"

#include <cstdlib>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell {

std::string KeyLocation::name() const {
    if (!onToken()) {
        return key;
    }
    // A PIN written into the URI must not reach a log or a terminal with the message.
    std::string shown;
    std::size_t start = 0;
    while (start <= key.size()) {
        std::size_t end = key.find_first_of(";?&", start);
        if (end == std::string::npos) {
            end = key.size();
        }
        const std::string_view part(key.data() + start, end - start);
        shown += part.starts_with("pin-value=") ? "pin-value=(hidden)" : std::string(part);
        if (end < key.size()) {
            shown += key[end];
        }
        start = end + 1;
    }
    return shown;
}

Result<std::optional<std::string>> readPassphrase(const KeyLocation& location) {
    if (location.passphraseFile) {
        Result<Bytes> bytes =
            filesystem::readFile(*location.passphraseFile, kMaxPassphraseBytes, "a passphrase");
        if (!bytes) {
            return Failure{kKeyErrorDomain, static_cast<std::int64_t>(KeyError::unreadable),
                           bytes.error().message};
        }
        std::string text(bytes->begin(), bytes->end());
        secureWipe(*bytes);
        text.erase(std::min(text.find_first_of("\r\n"), text.size()));
        return std::optional<std::string>(std::move(text));
    }
    if (!location.passphraseVariable.empty()) {
        if (const char* value = std::getenv(location.passphraseVariable.c_str())) {
            return std::optional<std::string>(value);
        }
    }
    return std::optional<std::string>();
}

std::string passphraseSources(const KeyLocation& location) {
    const std::string file =
        location.passphraseOption.empty() ? "a passphrase file" : location.passphraseOption;
    if (location.passphraseVariable.empty()) {
        return file;
    }
    return file + " or $" + location.passphraseVariable;
}

}  // namespace penwell
