#include "penwell/platform/filesystem/DirectoryBundle.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

#include <dlfcn.h>

#ifndef PENWELL_DEFAULT_RESOURCE_DIR
#error "PENWELL_DEFAULT_RESOURCE_DIR must name the installed resource folder"
#endif
#if !defined(PENWELL_RESOURCE_DIR_FROM_BIN) || !defined(PENWELL_RESOURCE_DIR_FROM_LIB) || \
    !defined(PENWELL_CONFIGURED_RESOURCE_DIR)
#error "the install layout's relative resource folders must be defined"
#endif

namespace penwell::filesystem {

DirectoryBundle::DirectoryBundle(std::filesystem::path folder) : folder_(std::move(folder)) {}

namespace {

/// The file this code was loaded from: the shared library when Penwell is one, else the
/// program it is linked into. Empty when the system cannot say.
std::filesystem::path loadedFrom() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&DirectoryBundle::defaultFolder), &info) != 0 &&
        info.dli_fname != nullptr && *info.dli_fname == '/') {
        return info.dli_fname;
    }
    // The main program's entry carries the name it was started by, perhaps relative.
    std::error_code ec;
    auto program = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : program;
}

}  // namespace

std::filesystem::path DirectoryBundle::installedFolder(const std::filesystem::path& module) {
    // <prefix>/bin/program or <prefix>/<libdir>/libpenwell.so: share/penwell is the same
    // relative path away wherever the prefix was moved.
    std::error_code ec;
    for (const char* relative : {PENWELL_RESOURCE_DIR_FROM_LIB, PENWELL_RESOURCE_DIR_FROM_BIN}) {
        const auto folder = (module.parent_path() / relative).lexically_normal();
        if (std::filesystem::is_directory(folder, ec)) {
            return folder;
        }
    }
    return {};
}

std::filesystem::path DirectoryBundle::defaultFolder() {
    // The variable lets tests, the demo and deployments point at another folder without a
    // rebuild.
    if (const char* fromEnvironment = std::getenv("PENWELL_RESOURCES");
        fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    if (const std::string_view configured = PENWELL_CONFIGURED_RESOURCE_DIR; !configured.empty()) {
        return configured;
    }
    if (const auto module = loadedFrom(); !module.empty()) {
        if (auto installed = installedFolder(module); !installed.empty()) {
            return installed;
        }
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
