#pragma once
// Output files that appear whole or not at all. A StagedFile is written to a temporary file in
// the target's own folder (so the final rename stays on one file system and is atomic) and
// renamed over the target only by commit(); destroying it uncommitted removes the temporary.
// A program stages every output first and commits them together once nothing can fail:
// StagedOutputs::commitAll() replaces all of them or, when one cannot be replaced, puts back
// the ones already replaced, so a failing program leaves every output as it was. Failures are
// answered as values whose message names the file ("<path>: cannot replace: <reason>"), with
// the domain kFileDomain and the errno as the code.

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell::filesystem {

/// The domain of every failure below; the code is the errno that says why.
inline constexpr const char* kFileDomain = "PenwellFile";

/// The permission bits of every output unless a caller asks otherwise: the owner's only. What
/// Penwell writes holds a person's handwriting (its pictures and records are biometric data)
/// or a key; a user who shares a file widens its mode knowingly.
inline constexpr mode_t kPrivateFileMode = 0600;

class StagedFile {
public:
    /// Creates the temporary file. `mode` is the new file's permission bits, narrowed by the
    /// umask unless `exactMode` (used for private keys, which must be 0600 whatever the umask).
    /// Fails naming the target when the folder cannot take a file.
    static Result<StagedFile> create(std::filesystem::path target, mode_t mode = kPrivateFileMode,
                                     bool exactMode = false);
    ~StagedFile();
    StagedFile(StagedFile&& other) noexcept;
    StagedFile& operator=(StagedFile&&) = delete;
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    const std::filesystem::path& target() const { return target_; }
    /// Where to write; writers that want a path (a PNG encoder) write here.
    const std::filesystem::path& temporary() const { return temporary_; }

    /// Replaces the temporary file's contents with `bytes`.
    MaybeFailure write(ByteView bytes);

    /// Makes the temporary's contents durable, then renames it over the target.
    MaybeFailure commit();

private:
    friend class StagedOutputs;
    explicit StagedFile(std::filesystem::path target) : target_(std::move(target)) {}

    std::filesystem::path target_;
    std::filesystem::path temporary_;
    bool committed_ = false;
};

/// The outputs of one command, committed together.
class StagedOutputs {
public:
    /// A new staged output; the pointer stays valid for the life of this object.
    Result<StagedFile*> add(const std::filesystem::path& target, mode_t mode = kPrivateFileMode,
                            bool exactMode = false);
    /// add() and StagedFile::write() in one.
    MaybeFailure stage(const std::filesystem::path& target, ByteView bytes,
                       mode_t mode = kPrivateFileMode, bool exactMode = false);

    /// Replaces every target with its staged file, all or none. Each existing target is first
    /// kept under a hidden name beside it (a hard link, so it never goes missing); when a
    /// target cannot be replaced, the targets replaced before it get their previous contents
    /// back and the ones that did not exist are removed again. Fails naming the target that
    /// could not be replaced.
    MaybeFailure commitAll();

private:
    std::deque<StagedFile> files_;  // a deque: adding keeps earlier references valid
};

/// Creates each missing folder on the way to `folder` with owner-only access (0700 whatever
/// the umask); folders that exist are left as they are. Answers whether it created `folder`
/// itself, or fails naming the folder that could not be made (also written to `failedAt` when
/// given), with the errno as the code.
Result<bool> makePrivateFolders(const std::filesystem::path& folder,
                                std::filesystem::path* failedAt = nullptr);

/// An output folder a person named: made (owner-only, as makePrivateFolders) when it is
/// missing but its parent folder exists; fails naming it when the parent is missing too, so a
/// mistyped path never becomes a tree of new folders. Answers whether it made the folder.
Result<bool> makeOutputFolder(const std::filesystem::path& folder);

/// An output folder made for one command: created as makeOutputFolder does, and removed again when
/// the command fails before keep() (only if it is still empty, so nothing else is ever lost).
class OutputFolder {
public:
    /// Fails naming the folder when it cannot be made.
    static Result<OutputFolder> create(std::filesystem::path folder);
    ~OutputFolder();
    OutputFolder(OutputFolder&& other) noexcept
        : folder_(std::move(other.folder_)), created_(std::exchange(other.created_, false)) {}
    OutputFolder& operator=(OutputFolder&&) = delete;
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    void keep() { created_ = false; }

private:
    explicit OutputFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}
    std::filesystem::path folder_;
    bool created_ = false;
};

/// The whole contents of a regular file of at most `limit` bytes; `what` names the kind of
/// input for the message ("a trace"). Fails with "<path>: ..." when the file cannot be read, is not
/// a regular file (a folder, a pipe, a device: read whole they would block or never end) or is
/// larger than `limit`.
Result<Bytes> readFile(const std::filesystem::path& path, std::uint64_t limit,
                       std::string_view what);

/// A file a command reads or writes, with the option that names it.
struct NamedFile {
    std::string option;  ///< what names it to the user: "--png", or "the trace" for an argument
    std::filesystem::path path;
};

/// Refuses outputs that are one file with another output or with an input: one output would
/// silently replace the other, or the command would overwrite what it reads. Files are the
/// same when they are one inode, or (when they do not exist yet) one path once resolved.
/// Fails with "<path>: named by both --a and --b".
MaybeFailure requireDistinctFiles(const std::vector<NamedFile>& outputs,
                                  const std::vector<NamedFile>& inputs);

}  // namespace penwell::filesystem
