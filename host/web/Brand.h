#pragma once
// A deployment's own look on the signing page and the pad (serve --brand DIR): its logo
// (logo.svg or logo.png, at most 256 KiB) and its colours (brand.json:
// {"colors": {"accent": "#0a5", "background": "#fff", "text": "#222"}}). Read once at start
// and served from memory, so the page's Content-Security-Policy stays img-src 'self'.

#include <filesystem>
#include <map>
#include <string>

#include "penwell/platform/Result.h"

namespace penwell::web {

/// Where the page finds the logo, whatever its type.
inline constexpr const char* kBrandLogoPath = "/brand/logo";
inline constexpr std::uint64_t kMaxLogoBytes = 256 * 1024;

struct Brand {
    std::string logoType;  ///< "image/svg+xml" or "image/png"; empty: no logo
    std::string logo;      ///< its bytes
    /// "accent", "background", "text": each a #rgb or #rrggbb colour, as given.
    std::map<std::string, std::string> colors;
};

/// Reads DIR's logo and brand.json, each optional but not both missing. Fails with one line
/// naming the file at fault: both logos, a logo too large or not the image its name says, a
/// brand.json that is not JSON or holds anything but the three colours.
Result<Brand> loadBrand(const std::filesystem::path& folder);

/// The page's settings for the brand: {"logo": "/brand/logo" or null, "colors": {...}}.
std::string brandJson(const Brand& brand);

}  // namespace penwell::web
