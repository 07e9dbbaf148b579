#pragma once
// The signing page's files (web/), embedded into the program when it is built.

#include <span>
#include <string_view>

namespace penwell::tools::serve {

struct WebAsset {
    std::string_view path;  ///< as requested: "/", "/pad.js", ...
    std::string_view contentType;
    std::string_view body;
};

std::span<const WebAsset> webAssets();

}  // namespace penwell::tools::serve
