#pragma once
// The signing page's settings: its language and texts, from the signer's wording table that
// every pad host shares (host/common/Wording.h, host/common/wording/signer.json), so that a
// deployment can have the page in its signers' language: `penwell serve --lang de` picks a
// language of the table, and `--lang FILE` reads a deployment's own translation.

#include <string>

#include "penwell/platform/Result.h"

namespace penwell::web {

struct PageOptions {
    /// A shipped language's code, or a translation file's path (anything with a '/' or ending
    /// in ".json").
    std::string lang = "en";
    bool operatorControls = false;  ///< the page shows the operator's counts and settings
    bool document = false;          ///< a document is being signed (/document.json)
};

/// The page's settings script (/config.js): the language's code and texts, and the options.
/// Fails with the wording's one line (host::kWordingDomain) naming the language, or the file
/// and the key at fault.
Result<std::string> pageScript(const PageOptions& options);

}  // namespace penwell::web
