#pragma once
// The default resource bundle: a plain folder of files.

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "penwell/platform/Resources.h"

namespace penwell::filesystem {

/// A bundle whose resources are the regular files directly inside one folder.
/// Resources are certificates and the like, a few kilobytes: reading at most this much keeps a
/// wrong file in the folder (a disk image, a log) from taking all memory before it is refused.
inline constexpr std::size_t kMaxResourceBytes = 1u << 20;

class DirectoryBundle final : public ResourceBundle {
public:
    explicit DirectoryBundle(std::filesystem::path folder);

    /// The folder a host gets when it does not choose one: the environment variable
    /// PENWELL_RESOURCES when it is set and not empty; else the folder configured at build
    /// time (PENWELL_RESOURCE_DIR, when set); else share/penwell of the install prefix the
    /// library (or the program it is linked into) was loaded from, wherever that prefix was
    /// moved; else <build-time install prefix>/share/penwell.
    static std::filesystem::path defaultFolder();

    /// The resource folder of the install that `module` (a library or a program in it) belongs
    /// to: share/penwell as the install lays it out relative to lib/ and bin/. Empty when
    /// there is none.
    static std::filesystem::path installedFolder(const std::filesystem::path& module);

    const std::filesystem::path& folder() const noexcept { return folder_; }

    /// Names with a path separator or that are "." or ".." are never found, so a resource
    /// lookup cannot leave the folder.
    std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                         std::string_view type) const override;
    /// Nil for a file over kMaxResourceBytes.
    std::optional<Bytes> contentsOfFile(const std::filesystem::path& path) const override;

private:
    std::filesystem::path folder_;
};

/// A DirectoryBundle on DirectoryBundle::defaultFolder().
std::shared_ptr<ResourceBundle> makeDefaultBundle();

}  // namespace penwell::filesystem
