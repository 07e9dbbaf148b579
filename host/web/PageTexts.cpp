#include "penwell/host/web/PageTexts.h"

#include <nlohmann/json.hpp>

#include "penwell/host/common/Wording.h"

namespace penwell::web {

Result<std::string> pageScript(const PageOptions& options) {
    const Result<host::Wording> wording = host::Wording::load(options.lang);
    if (!wording) {
        return wording.error();
    }
    using Json = nlohmann::json;
    Json texts = Json::object();
    for (const auto& [key, text] : wording->texts()) {
        texts[key] = text;
    }
    const Json config{{"lang", wording->language()},
                      {"operatorControls", options.operatorControls},
                      {"document", options.document},
                      {"texts", texts}};
    return "'use strict';\n// The page's language and settings, from penwell serve's options.\n"
           "window.penwellConfig = " +
           config.dump(-1, ' ', false, Json::error_handler_t::replace) + ";\n";
}

}  // namespace penwell::web
