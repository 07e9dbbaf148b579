#pragma once
// What a signer reads on a pad, in the signer's language: one table (wording/signer.json,
// built into the library, a language code to an object of texts by key) for every host that
// shows a pad, so that the desktop app and the browser page say the same things in the same
// situation. A deployment may bring a language of its own as a JSON file
// {"fr": {"undo": "Annuler", ...}} with keys of the table's "en"; a key the file leaves out is
// shown in English. A text may hold placeholders such as {name}; every language and every
// translation keeps exactly those of the English text, so a host fills in the same values
// whatever the language.

#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "penwell/platform/Result.h"

namespace penwell::host {

/// Domain of the loader's refusals; the codes are WordingFault's.
inline constexpr const char* kWordingDomain = "PenwellWording";

enum class WordingFault {
    noSuchLanguage = 1,  ///< a code the table does not have
    badTranslation = 2,  ///< a translation file that cannot be read, or holds what no pad shows
    badTable = 3,        ///< the built-in table itself (a fault of the build; its test catches it)
};

class Wording {
public:
    /// English, the table's first language.
    Wording();

    /// The wording in `lang`: a language of the table ("en", "de"; a region such as "de-CH"
    /// falls back to its language), or a translation file's path (anything with a '/' or
    /// ending in ".json"). Fails with one line naming the languages there are, or the file and
    /// the key at fault; `where` is the language or the file.
    static Result<Wording> load(std::string_view lang);
    /// The table's languages, "en" first. Empty only if the built-in table is broken.
    static std::vector<std::string> languages();
    /// The placeholders of `text`: each "{name}" of letters.
    static std::set<std::string> placeholders(std::string_view text);

    /// The language's code: the table's, or the translation file's tag ("pt-BR").
    const std::string& language() const { return language_; }
    /// Every text by key: the language's, English where a translation leaves one out.
    const std::map<std::string, std::string, std::less<>>& texts() const { return texts_; }
    /// The text `key` with each {name} replaced by its value; a key the table does not have
    /// answers the key itself (a host's fault that shows, rather than an empty label).
    std::string text(
        std::string_view key,
        std::initializer_list<std::pair<std::string_view, std::string>> values = {}) const;

private:
    std::string language_ = "en";
    std::map<std::string, std::string, std::less<>> texts_;
};

}  // namespace penwell::host
