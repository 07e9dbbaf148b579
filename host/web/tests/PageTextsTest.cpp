// The page's texts: every shipped language has every text, with the English text's
// placeholders, and a deployment's own translation is taken, or refused naming what is wrong.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "host/web/PageTexts.h"

namespace penwell::web {
namespace {

using Json = nlohmann::json;
using ::testing::HasSubstr;

std::set<std::string> placeholders(const std::string& text) {
    static const std::regex placeholder(R"(\{[^}]*\})");
    return {std::sregex_token_iterator(text.begin(), text.end(), placeholder),
            std::sregex_token_iterator()};
}

/// What /config.js sets window.penwellConfig to.
Json configOf(const std::string& script) {
    const auto start = script.find("window.penwellConfig = ");
    EXPECT_NE(start, std::string::npos);
    const std::string body = script.substr(start + 23);
    return Json::parse(body.substr(0, body.rfind(';')));
}

TEST(PageTexts, EveryShippedLanguageHasEveryTextWithItsPlaceholders) {
    const Json table =
        Json::parse(std::ifstream(PENWELL_SOURCE_DIR "/host/web/page/texts.json"));
    const Json& english = table.at("en");
    ASSERT_GE(table.size(), 2u) << "English and at least one more";
    for (const auto& [code, texts] : table.items()) {
        std::set<std::string> keys;
        for (const auto& [key, text] : texts.items()) {
            keys.insert(key);
            ASSERT_TRUE(english.contains(key)) << code << "." << key;
            EXPECT_EQ(placeholders(text.get<std::string>()),
                      placeholders(english.at(key).get<std::string>()))
                << code << "." << key;
        }
        EXPECT_EQ(keys.size(), english.size()) << code << " leaves texts out";
        const Json config = configOf(pageScript({code}).value());
        EXPECT_EQ(config.at("lang"), code);
        EXPECT_EQ(config.at("texts"), texts);
        EXPECT_EQ(config.at("operatorControls"), false);
        EXPECT_EQ(config.at("document"), false);
    }
    const Json both = configOf(pageScript({"de", true, true}).value());
    EXPECT_EQ(both.at("operatorControls"), true);
    EXPECT_EQ(both.at("document"), true);
}

class PageTranslation : public ::testing::Test {
protected:
    PageTranslation() { std::filesystem::create_directories(folder); }
    ~PageTranslation() override { std::filesystem::remove_all(folder); }
    std::string write(const std::string& name, const std::string& contents) {
        std::ofstream(folder / name) << contents;
        return (folder / name).string();
    }
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / "penwell-page-texts-test";
};

TEST_F(PageTranslation, ADeploymentsOwnLanguageFallsBackToEnglish) {
    const std::string file = write(
        "fr.json", R"({"fr": {"undo": "Annuler", "signs": "{name} signe : {reason}"}})");
    const Json config = configOf(pageScript({file}).value());
    EXPECT_EQ(config.at("lang"), "fr");
    EXPECT_EQ(config.at("texts").at("undo"), "Annuler");
    EXPECT_EQ(config.at("texts").at("signs"), "{name} signe : {reason}");
    EXPECT_EQ(config.at("texts").at("done"), "Done");
}

TEST_F(PageTranslation, RefusesWhatThePageCouldNotShow) {
    const std::pair<std::string, std::string> cases[] = {
        {"not json", "invalid JSON"},
        {R"({"fr": {}, "it": {}})", R"(expected {"LANGUAGE": {"KEY": "TEXT", ...}})"},
        {R"({"fr": "Annuler"})", R"(expected {"LANGUAGE")"},
        {R"({"<b>": {}})", R"("<b>" is not a language tag)"},
        {R"({"fr": {"annuler": "Annuler"}})", "fr.annuler: not a text of the page"},
        {R"({"fr": {"undo": 1}})", "fr.undo: expected a string"},
        {R"({"fr": {"signs": "{name} signe"}})",
         R"(fr.signs: must hold the placeholders of "{name} signs: {reason}")"},
        {R"({"fr": {"undo": "{name}"}})", R"(fr.undo: must hold the placeholders of "Undo")"},
    };
    for (const auto& [contents, refusal] : cases) {
        const std::string file = write("t.json", contents);
        const auto script = pageScript({file});
        ASSERT_FALSE(script) << contents;
        EXPECT_THAT(script.error().message, HasSubstr(file + ": ")) << contents;
        EXPECT_THAT(script.error().message, HasSubstr(refusal)) << contents;
    }
    const auto missing = pageScript({(folder / "none.json").string()});
    ASSERT_FALSE(missing);
    EXPECT_THAT(missing.error().message, HasSubstr("none.json"));
}

}  // namespace
}  // namespace penwell::web
