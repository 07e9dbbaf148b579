#include "penwell/host/web/Brand.h"

#include <nlohmann/json.hpp>
#include <regex>

#include "penwell/host/web/Server.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell::web {

namespace {

using Json = nlohmann::json;

Failure brandFailure(const std::filesystem::path& file, const std::string& what) {
    return Failure{kServerErrorDomain, 0, file.string() + ": " + what};
}

/// Whether `bytes` look like the image `type` says: a PNG's signature, or an SVG's root
/// element at the start (after an XML declaration or comments).
bool looksLike(const std::string& bytes, const std::string& type) {
    if (type == "image/png") {
        return bytes.rfind("\x89PNG\r\n\x1a\n", 0) == 0;
    }
    const auto svg = bytes.find("<svg");
    const auto start = bytes.find_first_not_of(" \t\r\n\xef\xbb\xbf");
    return svg != std::string::npos && start != std::string::npos &&
           (start == svg || bytes.compare(start, 5, "<?xml") == 0 ||
            bytes.compare(start, 4, "<!--") == 0);
}

MaybeFailure readColors(const std::filesystem::path& file, Brand& brand) {
    auto bytes = filesystem::readFile(file, 64 * 1024, "a brand file");
    if (!bytes) {
        return bytes.error();
    }
    const Json doc = Json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        return brandFailure(file, "expected a JSON object like {\"colors\": {\"accent\": \"#0a5\"}}");
    }
    static const std::regex colour("#([0-9A-Fa-f]{3}|[0-9A-Fa-f]{6})");
    for (const auto& [key, value] : doc.items()) {
        if (key != "colors") {
            return brandFailure(file, key + ": unknown field; only \"colors\" is taken");
        }
        if (!value.is_object()) {
            return brandFailure(file, "colors: expected an object");
        }
        for (const auto& [name, text] : value.items()) {
            if (name != "accent" && name != "background" && name != "text") {
                return brandFailure(file, "colors." + name +
                                              ": unknown colour; accent, background and text "
                                              "are taken");
            }
            if (!text.is_string() || !std::regex_match(text.get<std::string>(), colour)) {
                return brandFailure(file, "colors." + name + ": expected #rgb or #rrggbb");
            }
            brand.colors[name] = text.get<std::string>();
        }
    }
    return {};
}

}  // namespace

Result<Brand> loadBrand(const std::filesystem::path& folder) {
    Brand brand;
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec)) {
        return brandFailure(folder, "not a folder");
    }
    for (const auto& [name, type] : {std::pair{"logo.svg", "image/svg+xml"},
                                     std::pair{"logo.png", "image/png"}}) {
        const std::filesystem::path file = folder / name;
        if (!std::filesystem::exists(file, ec)) {
            continue;
        }
        if (!brand.logoType.empty()) {
            return brandFailure(folder, "holds both logo.svg and logo.png; keep one");
        }
        auto bytes = filesystem::readFile(file, kMaxLogoBytes, "a logo");
        if (!bytes) {
            return bytes.error();
        }
        brand.logo.assign(bytes->begin(), bytes->end());
        if (!looksLike(brand.logo, type)) {
            return brandFailure(file, std::string("not ") +
                                          (brand.logo.empty() ? "an image" : "the image") +
                                          " its name says (" + type + ")");
        }
        brand.logoType = type;
    }
    const std::filesystem::path colours = folder / "brand.json";
    const bool hasColours = std::filesystem::exists(colours, ec);
    if (hasColours) {
        if (MaybeFailure bad = readColors(colours, brand)) {
            return *bad;
        }
    }
    if (brand.logoType.empty() && !hasColours) {
        return brandFailure(folder, "holds no logo.svg, logo.png or brand.json");
    }
    return brand;
}

std::string brandJson(const Brand& brand) {
    return Json{{"logo", brand.logoType.empty() ? Json(nullptr) : Json(kBrandLogoPath)},
                {"colors", brand.colors}}
        .dump();
}

}  // namespace penwell::web
