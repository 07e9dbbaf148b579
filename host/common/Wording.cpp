#include "penwell/host/common/Wording.h"

#include <algorithm>
#include <cctype>
#include <regex>

#include "penwell/json/JsonReader.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell::host {

/// wording/signer.json, built in (the generated WordingTable.cpp).
std::string_view builtInWording();

namespace {

using Json = nlohmann::json;
using Texts = std::map<std::string, std::string, std::less<>>;

/// A translation is a few kilobytes; this is far more than any.
constexpr std::uint64_t kMaxTranslationBytes = 1 << 20;

Failure wordingFailure(WordingFault fault, std::string message, std::string where) {
    return Failure{kWordingDomain, static_cast<std::int64_t>(fault), std::move(message),
                   std::move(where)};
}

/// The built-in table, parsed once; a discarded value if the build embedded a broken one.
const Json& table() {
    static const Json parsed = [] {
        Json json = Json::parse(builtInWording(), nullptr, false);
        return json.is_object() && json.contains("en") ? json : Json(Json::value_t::discarded);
    }();
    return parsed;
}

/// The texts of one language of the table: every string member of `language`.
Texts textsOf(const Json& language) {
    Texts texts;
    for (const auto& [key, text] : language.items()) {
        if (text.is_string()) {
            texts.emplace(key, text.get<std::string>());
        }
    }
    return texts;
}

Texts englishTexts() {
    return table().is_discarded() ? Texts{} : textsOf(table().at("en"));
}

/// A deployment's translation, checked against the English texts: {tag, texts}.
Result<std::pair<std::string, Texts>> readTranslation(const std::string& file) {
    const Result<Bytes> bytes =
        filesystem::readFile(file, kMaxTranslationBytes, "a translation of the pad's texts");
    if (!bytes) {
        return bytes.error();
    }
    const auto refused = [&](const std::string& what) {
        return wordingFailure(WordingFault::badTranslation, file + ": " + what, file);
    };
    // The project's bounded reader: depth and numbers checked, the fault's place named.
    const Result<Json> parsed =
        json::parse({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
    if (!parsed) {
        return refused(parsed.error().message);
    }
    const Json& doc = *parsed;
    if (!doc.is_object() || doc.size() != 1 || !doc.begin().value().is_object()) {
        return refused(R"(expected {"LANGUAGE": {"KEY": "TEXT", ...}})");
    }
    const std::string tag = doc.begin().key();
    // A language tag (BCP 47): the page makes it its lang attribute.
    static const std::regex languageTag("[A-Za-z]{2,8}(-[A-Za-z0-9]{1,8})*");
    if (!std::regex_match(tag, languageTag)) {
        return refused("\"" + tag + "\" is not a language tag such as fr or pt-BR");
    }
    const Texts english = englishTexts();
    Texts texts = english;
    for (const auto& [key, text] : doc.begin().value().items()) {
        const std::string where = tag + "." + key;
        const auto englishText = english.find(key);
        if (englishText == english.end()) {
            return refused(where + ": not a text of the pad");
        }
        if (!text.is_string()) {
            return refused(where + ": expected a string");
        }
        if (Wording::placeholders(text.get<std::string>()) !=
            Wording::placeholders(englishText->second)) {
            return refused(where + ": must hold the placeholders of \"" + englishText->second +
                           "\"");
        }
        texts[key] = text.get<std::string>();
    }
    return std::pair{tag, std::move(texts)};
}

}  // namespace

Wording::Wording() : texts_(englishTexts()) {}

std::vector<std::string> Wording::languages() {
    if (table().is_discarded()) {
        return {};
    }
    std::vector<std::string> codes{"en"};
    for (const auto& [code, texts] : table().items()) {
        if (code != "en" && texts.is_object()) {
            codes.push_back(code);
        }
    }
    return codes;
}

std::set<std::string> Wording::placeholders(std::string_view text) {
    // A name starts with a letter and may hold digits ("{sigma2}").
    static const std::regex placeholder(R"(\{[A-Za-z][A-Za-z0-9]*\})");
    std::set<std::string> found;
    for (auto it = std::cregex_iterator(text.data(), text.data() + text.size(), placeholder);
         it != std::cregex_iterator(); ++it) {
        found.insert(it->str());
    }
    return found;
}

Result<Wording> Wording::load(std::string_view lang) {
    const std::string asked(lang);
    if (table().is_discarded()) {
        return wordingFailure(WordingFault::badTable,
                              "the built-in wording table is not a JSON object with \"en\"", {});
    }
    Wording wording;
    if (asked.find('/') != std::string::npos || asked.ends_with(".json")) {
        Result<std::pair<std::string, Texts>> translation = readTranslation(asked);
        if (!translation) {
            return translation.error();
        }
        wording.language_ = std::move(translation->first);
        wording.texts_ = std::move(translation->second);
        return wording;
    }
    // Language tags are case-insensitive (BCP 47): "DE" and "de-AT" are German.
    std::string base = asked.substr(0, asked.find_first_of("-_"));
    std::transform(base.begin(), base.end(), base.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto found = table().find(base);
    if (base.empty() || found == table().end() || !found->is_object()) {
        std::string known;
        for (const std::string& code : languages()) {
            known += (known.empty() ? "" : ", ") + code;
        }
        return wordingFailure(
            WordingFault::noSuchLanguage,
            "--lang " + asked + ": there are " + known + "; name a JSON file of texts for another",
            asked);
    }
    wording.language_ = base;
    wording.texts_ = textsOf(*found);
    return wording;
}

std::string Wording::text(
    std::string_view key,
    std::initializer_list<std::pair<std::string_view, std::string>> values) const {
    const auto found = texts_.find(key);
    const std::string_view message = found != texts_.end() ? found->second : key;
    // One pass over the text, as the page fills its texts: a value (a signer's name) that
    // holds "{reason}" is shown as it is, never filled in again.
    std::string out;
    std::size_t at = 0;
    while (at < message.size()) {
        const std::size_t open = message.find('{', at);
        const std::size_t close = open == std::string_view::npos ? open : message.find('}', open);
        if (close == std::string_view::npos) {
            out.append(message.substr(at));
            break;
        }
        out.append(message.substr(at, open - at));
        const std::string_view name = message.substr(open + 1, close - open - 1);
        const auto value = std::find_if(values.begin(), values.end(),
                                        [&](const auto& v) { return v.first == name; });
        if (value == values.end()) {
            out += '{';  // not one of the values: kept, and the text after it still read
            at = open + 1;
            continue;
        }
        out += value->second;
        at = close + 1;
    }
    return out;
}

}  // namespace penwell::host
