#include "host/common/Wording.h"

#include <nlohmann/json.hpp>

namespace penwell::host {

/// wording/signer.json, built in (the generated WordingTable.cpp).
std::string_view builtInWording();

namespace {

using Json = nlohmann::json;

const Json& parsedTable() {
    static const Json table = Json::parse(builtInWording());
    return table;
}

std::map<std::string, std::string, std::less<>> messagesOf(const Json& language) {
    std::map<std::string, std::string, std::less<>> messages;
    for (const auto& [key, text] : language.items()) {
        if (text.is_string()) {
            messages.emplace(key, text.get<std::string>());
        }
    }
    return messages;
}

}  // namespace

std::string_view Wording::table() {
    return builtInWording();
}

std::vector<std::string> Wording::languages() {
    std::vector<std::string> names;
    for (const auto& [name, messages] : parsedTable().items()) {
        if (messages.is_object()) {
            names.push_back(name);
        }
    }
    return names;  // a JSON object's keys come sorted
}

Result<Wording> Wording::forLanguage(std::string_view language) {
    const std::string base(language.substr(0, language.find_first_of("-_")));
    const Json& table = parsedTable();
    const auto found = table.find(base);
    if (base.empty() || found == table.end() || !found->is_object()) {
        std::string known;
        for (const std::string& name : languages()) {
            known += (known.empty() ? "" : ", ") + name;
        }
        return Failure{
            kWordingDomain, 1,
            "--lang " + std::string(language) + ": no such language (there are " + known + ")"};
    }
    Wording wording;
    wording.language_ = base;
    wording.messages_ = messagesOf(*found);
    wording.english_ = messagesOf(table.at("en"));
    return wording;
}

std::string Wording::text(
    std::string_view key,
    std::initializer_list<std::pair<std::string_view, std::string>> values) const {
    const std::string* found = nullptr;
    for (const auto* messages : {&messages_, &english_}) {
        if (const auto it = messages->find(key); !found && it != messages->end()) {
            found = &it->second;
        }
    }
    std::string message = found ? *found : std::string(key);
    for (const auto& [name, value] : values) {
        // Appended, not "{" + name + "}": GCC 12 at -O3 sees a false overlap in operator+'s
        // insert at the front (-Wrestrict), which stops the bench build.
        std::string placeholder;
        placeholder.reserve(name.size() + 2);
        placeholder.append(1, '{').append(name).append(1, '}');
        for (std::size_t at = message.find(placeholder); at != std::string::npos;
             at = message.find(placeholder, at + value.size())) {
            message.replace(at, placeholder.size(), value);
        }
    }
    return message;
}

}  // namespace penwell::host
