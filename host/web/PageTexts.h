#pragma once
// Every text the signing page shows, in one table (host/web/page/texts.json, a language code
// to an object of texts by key), so that a deployment can have the page in its signers'
// language: `penwell serve --lang de` picks a language the page ships, and `--lang FILE` reads
// a deployment's own translation, a JSON file {"fr": {"undo": "Annuler", ...}} with the keys
// of the table's "en". A text may hold placeholders such as {name}; a translation keeps
// exactly those of the English text. A key a file leaves out is shown in English.

#include <string>
#include <vector>

#include "platform/Result.h"

namespace penwell::web {

/// Domain of a language that cannot be had; the code is 0.
inline constexpr const char* kPageTextsErrorDomain = "PenwellPageTexts";

/// The languages the page ships, "en" first.
std::vector<std::string> pageLanguages();

struct PageOptions {
    /// A shipped language's code, or a translation file's path (anything with a '/' or ending
    /// in ".json").
    std::string lang = "en";
    bool operatorControls = false;  ///< the page shows the operator's counts and settings
    bool document = false;          ///< a document is being signed (/document.json)
};

/// The page's settings script (/config.js): the language's code and texts, and the options.
/// Fails with one line naming the language, or the file and the key at fault.
Result<std::string> pageScript(const PageOptions& options);

}  // namespace penwell::web
