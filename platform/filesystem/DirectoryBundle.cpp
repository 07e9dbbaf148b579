#include "platform/filesystem/DirectoryBundle.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

#ifndef PENWELL_DEFAULT_RESOURCE_DIR
#error "PENWELL_DEFAULT_RESOURCE_DIR must name the installed resource folder"
#endif

namespace penwell::filesystem {

DirectoryBundle::DirectoryBundle(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path DirectoryBundle::defaultFolder() {
    // The variable lets tests, the demo and relocated installs point at another folder
    // without a rebuild.
    if (const char* fromEnvironment = std::getenv("PENWELL_RESOURCES");
        fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return PENWELL_DEFAULT_RESOURCE_DIR;
}

std::optional<std::filesystem::path> DirectoryBundle::pathForResource(std::string_view name,
                                                                      std::string_view type) const {
    std::string fileName(name);
    if (!type.empty()) {
        fileName += '.';
        fileName += type;
    }
    if (name.empty() || fileName == "." || fileName == ".." ||
        fileName.find('/') != std::string::npos || fileName.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    auto path = folder_ / fileName;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        return std::nullopt;
    }
    return path;
}

std::optional<Bytes> DirectoryBundle::contentsOfFile(const std::filesystem::path& path) const {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    Bytes contents;
    std::array<char, 64 * 1024> buffer;
    while (in.read(buffer.data(), buffer.size()) || in.gcount() > 0) {
        contents.insert(contents.end(), buffer.begin(), buffer.begin() + in.gcount());
        if (contents.size() > kMaxResourceBytes) {
            return std::nullopt;
        }
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return contents;
}

std::shared_ptr<ResourceBundle> makeDefaultBundle() {
    return std::make_shared<DirectoryBundle>(DirectoryBundle::defaultFolder());
}

}  // namespace penwell::filesystem
