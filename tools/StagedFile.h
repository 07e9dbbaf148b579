#pragma once
// Output files that appear whole or not at all. A StagedFile is written to a temporary file in
// the target's own folder (so the final rename stays on one file system and is atomic) and
// renamed over the target only by commit(); destroying it uncommitted removes the temporary.
// A command stages every output first and commits them together once nothing can fail, so a
// failing command leaves no partial or half-updated output behind.

#include <sys/types.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Bytes.h"

namespace penwell::tools {

class StagedFile {
public:
    /// Creates the temporary file. `mode` is the new file's permission bits, narrowed by the
    /// umask unless `exactMode` (used for private keys, which must be 0600 whatever the umask).
    /// Throws ToolError naming the target when the folder cannot take a file.
    explicit StagedFile(std::filesystem::path target, mode_t mode = 0666, bool exactMode = false);
    ~StagedFile();
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&&) = delete;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::filesystem::path& target() const { return target_; }
    /// Where to write; writers that want a path (a PNG encoder) write here.
    const std::filesystem::path& temporary() const { return temporary_; }

    /// Replaces the temporary file's contents with `bytes`. Throws ToolError on failure.
    void write(ByteView bytes);

    /// Renames the temporary over the target. Throws ToolError on failure.
    void commit();

private:
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    bool committed_ = false;
};

/// The outputs of one command, committed together.
class StagedOutputs {
public:
    /// The reference stays valid for the life of this object.
    StagedFile& add(const std::filesystem::path& target, mode_t mode = 0666,
                    bool exactMode = false);
    void commitAll();

private:
    std::deque<StagedFile> files_;  // a deque: adding keeps earlier references valid
};

/// An output folder made for one command: created if missing, and removed again when the
/// command fails before keep() (only if it is still empty, so nothing else is ever lost).
class OutputFolder {
public:
    /// Throws ToolError naming the folder when it cannot be made.
    explicit OutputFolder(std::filesystem::path folder);
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    void keep() { created_ = false; }

private:
    std::filesystem::path folder_;
    bool created_ = false;
};

/// The whole contents of a file. Throws ToolError "<path>: cannot read: <reason>".
Bytes readFile(const std::filesystem::path& path);

/// A folder that exists for the life of the object, removed with everything in it afterwards.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& prefix = "penwell");
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace penwell::tools
