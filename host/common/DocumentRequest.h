#pragma once
// What an operator asks of a document to sign, the same for `penwell pdf sign`, `serve
// --document` and `desk`: the file, where the signature goes and what it says. The command line
// registers these options once for all three (tools/penwell.cpp's addPlacementOptions).

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "penwell/platform/Http.h"

namespace penwell::host {

struct DocumentRequest {
    std::filesystem::path file;        ///< empty: no document
    std::optional<std::string> field;  ///< an existing empty signature field, or:
    int page = 1;                      ///< the page of a new field (1 is the first) ...
    std::optional<std::string> rect;   ///< ... at "X,Y,W,H" in points from the crop box's corner
    std::string reason, location, name;  ///< left out of the signature when empty
    /// A certification signature allowing, after it, 1: no changes; 2: form filling and
    /// signing; 3: also annotations (DocMDP /P). Only `pdf sign` and `desk` offer it.
    std::optional<int> certify = std::nullopt;
    /// A time-stamp authority's URL: the signature gets its token (PAdES B-T); nil: B-B.
    std::optional<std::string> tsa = std::nullopt;
    /// What reaches the authority (the tool gives its libcurl client); needed with `tsa`.
    std::shared_ptr<HttpClient> http = nullptr;
};

}  // namespace penwell::host
