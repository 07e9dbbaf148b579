// The page's settings script: every language of the signer's wording table reaches the page
// whole (what the table refuses, WordingTranslation pins).

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "penwell/host/common/Wording.h"
#include "penwell/host/web/PageTexts.h"

namespace penwell::web {
namespace {

using Json = nlohmann::json;

/// What /config.js sets window.penwellConfig to.
Json configOf(const std::string& script) {
    const auto start = script.find("window.penwellConfig = ");
    EXPECT_NE(start, std::string::npos);
    const std::string body = script.substr(start + 23);
    return Json::parse(body.substr(0, body.rfind(';')));
}

TEST(PageTexts, EveryLanguageOfTheTableReachesThePageWhole) {
    const Json table =
        Json::parse(std::ifstream(PENWELL_SOURCE_DIR "/host/common/wording/signer.json"));
    for (const std::string& code : host::Wording::languages()) {
        const Json config = configOf(pageScript({code}).value());
        EXPECT_EQ(config.at("lang"), code);
        EXPECT_EQ(config.at("texts"), table.at(code)) << code;
        EXPECT_EQ(config.at("operatorControls"), false);
        EXPECT_EQ(config.at("document"), false);
    }
    const Json both = configOf(pageScript({"de", true, true}).value());
    EXPECT_EQ(both.at("operatorControls"), true);
    EXPECT_EQ(both.at("document"), true);
}

}  // namespace
}  // namespace penwell::web
