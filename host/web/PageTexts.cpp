#include "host/web/PageTexts.h"

#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "host/web/WebAssets.h"
#include "json/JsonReader.h"
#include "platform/filesystem/StagedFile.h"

namespace penwell::web {

namespace {

using Json = nlohmann::json;

/// A translation is a few kilobytes; this is far more than any.
constexpr std::uint64_t kMaxTextsBytes = 1 << 20;

Failure textsFailure(std::string message) {
    return Failure{kPageTextsErrorDomain, 0, std::move(message)};
}

/// The shipped table, embedded with the page.
const Json& table() {
    static const Json parsed = [] {
        for (const WebAsset& asset : webAssets()) {
            if (asset.path == "/texts.json") {
                return Json::parse(asset.body);
            }
        }
        throw std::logic_error("the page's texts.json is not embedded");
    }();
    return parsed;
}

std::set<std::string> placeholders(const std::string& text) {
    static const std::regex placeholder(R"(\{[A-Za-z]+\})");
    std::set<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder);
         it != std::sregex_iterator(); ++it) {
        found.insert(it->str());
    }
    return found;
}

/// A deployment's translation, checked against the English texts: {code, texts}.
Result<std::pair<std::string, Json>> readTranslation(const std::string& file) {
    const Result<Bytes> bytes = filesystem::readFile(file, kMaxTextsBytes, "a page's texts");
    if (!bytes) {
        return bytes.error();
    }
    return refusing([&]() -> std::pair<std::string, Json> {
        const auto refuse = [&](const std::string& what) {
            throw Refusal{textsFailure(file + ": " + what)};
        };
        const Result<Json> parsed =
            json::parse({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
        if (!parsed) {
            refuse(parsed.error().message);
        }
        const Json& doc = *parsed;
        if (!doc.is_object() || doc.size() != 1 || !doc.begin().value().is_object()) {
            refuse(R"(expected {"LANGUAGE": {"KEY": "TEXT", ...}})");
        }
        const std::string code = doc.begin().key();
        // A language tag (BCP 47): it becomes the page's lang attribute.
        if (!std::regex_match(code, std::regex("[A-Za-z]{2,8}(-[A-Za-z0-9]{1,8})*"))) {
            refuse("\"" + code + "\" is not a language tag such as fr or pt-BR");
        }
        const Json& english = table().at("en");
        for (const auto& [key, text] : doc.begin().value().items()) {
            const std::string where = code + "." + key;
            if (!english.contains(key)) {
                refuse(where + ": not a text of the page");
            }
            if (!text.is_string()) {
                refuse(where + ": expected a string");
            }
            if (placeholders(text.get<std::string>()) !=
                placeholders(english.at(key).get<std::string>())) {
                refuse(where + ": must hold the placeholders of \"" +
                       english.at(key).get<std::string>() + "\"");
            }
        }
        return {code, doc.begin().value()};
    });
}

}  // namespace

std::vector<std::string> pageLanguages() {
    std::vector<std::string> codes{"en"};
    for (const auto& [code, texts] : table().items()) {
        if (code != "en") {
            codes.push_back(code);
        }
    }
    return codes;
}

Result<std::string> pageScript(const PageOptions& options) {
    const std::string& lang = options.lang;
    Json texts = table().at("en");
    std::string code = lang;
    if (lang.find('/') != std::string::npos || lang.ends_with(".json")) {
        Result<std::pair<std::string, Json>> translation = readTranslation(lang);
        if (!translation) {
            return translation.error();
        }
        code = translation->first;
        texts.update(translation->second);
    } else if (table().contains(lang)) {
        texts = table().at(lang);
    } else {
        std::string shipped;
        for (const std::string& c : pageLanguages()) {
            shipped += (shipped.empty() ? "" : ", ") + c;
        }
        return textsFailure("--lang " + lang + ": the page ships " + shipped +
                            "; name a JSON file of texts for another");
    }
    const Json config{{"lang", code},
                      {"operatorControls", options.operatorControls},
                      {"document", options.document},
                      {"texts", texts}};
    return "'use strict';\n// The page's language and settings, from penwell serve's options.\n"
           "window.penwellConfig = " +
           config.dump(-1, ' ', false, Json::error_handler_t::replace) + ";\n";
}

}  // namespace penwell::web
