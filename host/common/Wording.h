#pragma once
// What a signer reads on a pad, in the signer's language: one table (wording/signer.json,
// built into the library) for every host that shows a pad, so the desktop app and the browser
// page say the same things. Messages are looked up by key; {name} placeholders are filled in.

#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Result.h"

namespace penwell::host {

/// Domain of the table's refusals: code 1, a language the table does not have.
inline constexpr const char* kWordingDomain = "PenwellWording";

class Wording {
public:
    /// The table's language `language` ("en", "de", "fr"; a region such as "de-CH" falls back
    /// to its language). Fails naming the languages there are.
    static Result<Wording> forLanguage(std::string_view language);
    /// The languages of the table, sorted.
    static std::vector<std::string> languages();
    /// The whole table as built in, JSON: {"en": {"key": "text", ...}, ...}.
    static std::string_view table();

    const std::string& language() const { return language_; }
    /// The message `key` with each {name} replaced by its value; a key the language lacks
    /// answers the English message, and one no language has answers the key itself.
    std::string text(
        std::string_view key,
        std::initializer_list<std::pair<std::string_view, std::string>> values = {}) const;

private:
    std::string language_;
    std::map<std::string, std::string, std::less<>> messages_;
    std::map<std::string, std::string, std::less<>> english_;
};

}  // namespace penwell::host
