// The page's settings script: every language of the signer's wording table reaches the page
// whole, the page's English and German are byte for byte what they were before the desk and
// the page shared one table, and a translation the table refuses stops the page too.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

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

std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EXPECT_EQ(EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr), 1);
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        static const char* digits = "0123456789abcdef";
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
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

/// The script without the signing links' texts, which joined the table after these pins.
std::string withoutLinkTexts(const std::string& script) {
    static const char* const kLinkTexts[] = {
        "linkWaiting",   "linkSigned",        "linkYouDeclined", "linkCompleted", "linkDeclined",
        "linkCancelled", "linkExpired",       "linkLocked",      "linkFailed",    "accessCodeAsk",
        "accessCode",    "accessCodeSend",    "accessCodeWrong", "decline",       "declineReason",
        "declineSend",   "declineNeedsReason"};
    const auto open = script.find('{');
    const auto close = script.rfind('}');
    nlohmann::json config = nlohmann::json::parse(script.substr(open, close - open + 1));
    for (const char* key : kLinkTexts) {
        EXPECT_EQ(config["texts"].erase(key), 1u) << key;
    }
    return script.substr(0, open) +
           config.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
           script.substr(close + 1);
}

TEST(PageTexts, EnglishAndGermanAreTheBytesThePageHadBefore) {
    // The scripts served from host/web/page/texts.json, before the page and the desktop pad
    // shared one table: a text the merge lost, changed or added would change these.
    const struct {
        PageOptions options;
        std::size_t size;
        const char* sha256;
    } pinned[] = {
        {{"en"}, 2157, "256b3c3db379699b747d20d4d14bdd2a7741544c5df9f3587e804e81670963a4"},
        {{"en", true, true},
         2155,
         "9f48558bfb073618b21d78390b065ca82a95f21699d1463333db9bf6a8fb52f1"},
        {{"de"}, 2682, "6977d98ecfb601f7dc0201a24966bd515ea378a582bec3a4de1ff0b4179e51c5"},
        {{"de", true, true},
         2680,
         "9a1e2a5eb1c3ac719b926a1e93cbc3ca597a0af1c97e6f1b1e35b5787b824aa7"},
    };
    for (const auto& [options, size, sha256] : pinned) {
        const std::string script = withoutLinkTexts(pageScript(options).value());
        EXPECT_EQ(script.size(), size) << options.lang;
        EXPECT_EQ(sha256Hex(script), sha256) << options.lang << "\n" << script;
    }
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
