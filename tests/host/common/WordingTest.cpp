// The signer's wording table that the browser page and the desktop pad share: every language
// has every text with the English text's placeholders, a language is found by its code or its
// region's, and a deployment's translation is taken or refused naming what is wrong.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "penwell/host/common/Wording.h"
#include "support/CertificateFixtures.h"

namespace penwell::host {
namespace {

using Json = nlohmann::json;
using ::testing::HasSubstr;

/// Every {...} of `text`, whatever is between the braces: a placeholder the loader's own
/// pattern would miss ("{page number}") still shows here.
std::set<std::string> bracesOf(const std::string& text) {
    static const std::regex braces(R"(\{[^}]*\})");
    return {std::sregex_token_iterator(text.begin(), text.end(), braces),
            std::sregex_token_iterator()};
}

/// The table's file itself, read apart from the loader.
Json tableFile() {
    return Json::parse(std::ifstream(PENWELL_SOURCE_DIR "/host/common/wording/signer.json"));
}

TEST(Wording, EveryLanguageHasEveryTextWithTheEnglishPlaceholders) {
    const Json table = tableFile();
    const Json& english = table.at("en");
    // English, German and French at least: the page and the desk both ship them.
    for (const char* code : {"en", "de", "fr"}) {
        EXPECT_TRUE(table.contains(code)) << code;
    }
    std::vector<std::string> codes;
    for (const auto& [code, texts] : table.items()) {
        ASSERT_TRUE(texts.is_object()) << code << ": every member of the table is a language";
        for (const auto& [key, text] : english.items()) {
            ASSERT_TRUE(texts.contains(key)) << code << " leaves out " << key;
        }
        for (const auto& [key, text] : texts.items()) {
            ASSERT_TRUE(english.contains(key)) << code << "." << key << " is not in English";
            ASSERT_TRUE(text.is_string()) << code << "." << key;
            EXPECT_FALSE(text.get<std::string>().empty()) << code << "." << key;
            EXPECT_EQ(bracesOf(text.get<std::string>()),
                      bracesOf(english.at(key).get<std::string>()))
                << code << "." << key;
            EXPECT_EQ(Wording::placeholders(text.get<std::string>()),
                      bracesOf(text.get<std::string>()))
                << code << "." << key << ": a placeholder the loader cannot check";
        }
        // What the loader gives a host is the file's language, text for text.
        const Result<Wording> loaded = Wording::load(code);
        ASSERT_TRUE(loaded) << loaded.error().message;
        EXPECT_EQ(loaded->language(), code);
        EXPECT_EQ(loaded->texts().size(), texts.size()) << code;
        for (const auto& [key, text] : loaded->texts()) {
            EXPECT_EQ(text, texts.at(key).get<std::string>()) << code << "." << key;
        }
        codes.push_back(code);
    }
    std::erase(codes, "en");
    codes.insert(codes.begin(), "en");
    EXPECT_EQ(Wording::languages(), codes);
    EXPECT_EQ(Wording().texts(), Wording::load("en")->texts()) << "a default wording is English";
}

TEST(Wording, FillsEveryPlaceholderAndFindsALanguageByItsRegion) {
    const Wording german = *Wording::load("de-CH");
    EXPECT_EQ(german.language(), "de");
    EXPECT_EQ(german.text("page", {{"page", "2"}, {"pages", "12"}}), "Seite 2 von 12");
    EXPECT_EQ(german.text("signs", {{"name", "Erika {reason}"}, {"reason", "Kauf"}}),
              "Erika {reason} unterschreibt: Kauf")
        << "a value is never read as a placeholder";
    EXPECT_EQ(german.text("signsAt", {{"location", ""}}), "Ort: ");
    EXPECT_EQ(german.text("timingValues", {{"sigma", "1"}, {"sigma2", "2"}, {"samples", "3"}}),
              "sigma 1 · sigma2 2 über 3 Abtastwerte");
    EXPECT_EQ(german.text("signsAt"), "Ort: {location}") << "a value not given stays visible";
    EXPECT_EQ(Wording::load("fr_FR")->language(), "fr");
    // Tags are case-insensitive: a browser's "DE-ch" or a deployment's "FR" finds the language.
    EXPECT_EQ(Wording::load("DE-ch")->language(), "de");
    EXPECT_EQ(Wording::load("FR")->language(), "fr");
    // A key no host should ask for shows itself, not an empty label.
    EXPECT_EQ(german.text("noSuchText"), "noSuchText");

    for (const char* unknown : {"xx", "", "-de", "XX-de"}) {
        const Result<Wording> refused = Wording::load(unknown);
        ASSERT_FALSE(refused) << unknown;
        EXPECT_EQ(refused.error().domain, kWordingDomain);
        EXPECT_EQ(refused.error().code, static_cast<int>(WordingFault::noSuchLanguage));
        EXPECT_EQ(refused.error().message,
                  "--lang " + std::string(unknown) +
                      ": there are en, de, fr; name a JSON file of texts for another");
    }
}

class WordingTranslation : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& contents) {
        test::writeFile(folder / name, contents);
        return (folder / name).string();
    }
    const test::TempDir scratch;
    const std::filesystem::path folder = scratch.path();
};

TEST_F(WordingTranslation, ADeploymentsOwnLanguageFallsBackToEnglish) {
    const std::string file =
        write("it.json", R"({"it": {"undo": "Annulla", "signs": "{reason}: firma {name}"}})");
    const Wording italian = *Wording::load(file);
    EXPECT_EQ(italian.language(), "it");
    EXPECT_EQ(italian.text("undo"), "Annulla");
    EXPECT_EQ(italian.text("signs", {{"name", "Ann"}, {"reason", "Ok"}}), "Ok: firma Ann");
    EXPECT_EQ(italian.text("done"), "Done");
    EXPECT_EQ(italian.texts().size(), Wording().texts().size());
}

TEST_F(WordingTranslation, RefusesWhatAPadCouldNotShow) {
    const std::pair<std::string, std::string> cases[] = {
        {"not json", "invalid JSON"},
        {R"({"fr": {}, "it": {}})", R"(expected {"LANGUAGE": {"KEY": "TEXT", ...}})"},
        {R"({"fr": "Annuler"})", R"(expected {"LANGUAGE")"},
        {R"({"<b>": {}})", R"("<b>" is not a language tag)"},
        {R"({"fr": {"annuler": "Annuler"}})", "fr.annuler: not a text of the pad"},
        {R"({"fr": {"undo": 1}})", "fr.undo: expected a string"},
        {R"({"fr": {"signs": "{name} signe"}})",
         R"(fr.signs: must hold the placeholders of "{name} signs: {reason}")"},
        {R"({"fr": {"undo": "{name}"}})", R"(fr.undo: must hold the placeholders of "Undo")"},
        // A placeholder with a digit in its name counts as one: dropping it is refused.
        {R"({"fr": {"timingValues": "sigma {sigma} sur {samples}"}})",
         "fr.timingValues: must hold the placeholders"},
    };
    for (const auto& [contents, refusal] : cases) {
        const std::string file = write("t.json", contents);
        const Result<Wording> loaded = Wording::load(file);
        ASSERT_FALSE(loaded) << contents;
        EXPECT_EQ(loaded.error().code, static_cast<int>(WordingFault::badTranslation));
        EXPECT_EQ(loaded.error().where, file);
        EXPECT_THAT(loaded.error().message, HasSubstr(file + ": ")) << contents;
        EXPECT_THAT(loaded.error().message, HasSubstr(refusal)) << contents;
    }
    for (const std::string& missing : {(folder / "none.json").string(), folder.string() + "/"}) {
        const Result<Wording> loaded = Wording::load(missing);
        ASSERT_FALSE(loaded) << missing;
        EXPECT_THAT(loaded.error().message, HasSubstr(folder.string())) << missing;
    }
}

}  // namespace
}  // namespace penwell::host
