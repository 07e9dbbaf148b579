#pragma once
// The signing page's files (host/web/page/), embedded into the program when it is built.

#include <span>
#include <string_view>

namespace penwell::web {

struct WebAsset {
    std::string_view path;  ///< as requested: "/", "/pad.js", ...
    std::string_view contentType;
    std::string_view body;
};

std::span<const WebAsset> webAssets();

}  // namespace penwell::web
