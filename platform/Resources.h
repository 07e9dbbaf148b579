#pragma once
// The host's resources: the read-only files that ship with the application (the receiver's
// certificate Penwell.dat among them).

#include <filesystem>
#include <optional>
#include <string_view>

#include "penwell/platform/Bytes.h"

namespace penwell {

class ResourceBundle {
public:
    virtual ~ResourceBundle() = default;

    /// The path of resource `name` of type `type` (the file "name.type"; just "name" when
    /// `type` is empty), or nullopt when the bundle has no such file.
    virtual std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                                 std::string_view type) const = 0;

    /// The whole contents of the file at `path`, or nullopt when it cannot be read.
    virtual std::optional<Bytes> contentsOfFile(const std::filesystem::path& path) const = 0;
};

}  // namespace penwell
