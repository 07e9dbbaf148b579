// The page's settings script: every language of the signer's wording table reaches the page
// whole, and a translation the table refuses stops the page too.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "penwell/host/common/Wording.h"
#include "penwell/host/web/PageTexts.h"

namespace penwell::web {
namespace {

using Json = nlohmann::json;
using ::testing::HasSubstr;

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

TEST(PageTexts, ATranslationTheTableRefusesStopsThePage) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / "penwell-page-texts-test.json";
    std::ofstream(file) << R"({"fr": {"signs": "{name} signe"}})";
    const auto script = pageScript({file.string()});
    std::filesystem::remove(file);
    ASSERT_FALSE(script);
    EXPECT_EQ(script.error().domain, host::kWordingDomain);
    EXPECT_THAT(script.error().message, HasSubstr("fr.signs: must hold the placeholders"));
    const auto unknown = pageScript({"xx"});
    ASSERT_FALSE(unknown);
    EXPECT_THAT(unknown.error().message, HasSubstr("--lang xx: there are en, de"));
}

}  // namespace
}  // namespace penwell::web
