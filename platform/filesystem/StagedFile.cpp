#include "penwell/platform/filesystem/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace penwell::filesystem {

namespace {

std::string reason(int error) {
    return std::generic_category().message(error);
}

/// The failure "<path>: <what>: <errno's text>".
Failure failed(const std::filesystem::path& path, const std::string& what, int error) {
    return Failure::at(kFileDomain, error, path.string(), what + ": " + reason(error));
}

/// Closes a descriptor on every path out of the function that opened it.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    /// Closes now, reporting the error that a deferred write may only show here.
    int close() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

/// A hidden name beside `target` for this process's `attempt`-th try: ".NAME.PID.N.SUFFIX".
/// Appended piecewise: GCC 12 at -O3 reports a false memcpy overlap (-Werror=restrict) for
/// `"." + std::string`.
std::filesystem::path hiddenSibling(const std::filesystem::path& target, unsigned attempt,
                                    const char* suffix) {
    std::string name = ".";
    name += target.filename().string();
    name += '.';
    name += std::to_string(::getpid());
    name += '.';
    name += std::to_string(attempt);
    name += '.';
    name += suffix;
    return (target.has_parent_path() ? target.parent_path() : std::filesystem::path(".")) / name;
}

/// Makes `file`'s contents (however they were written: by write() or by an encoder given its
/// path) reach the disk, so that a crash after the rename never leaves the target empty or
/// short: the rename is atomic for the name, not for the data behind it.
MaybeFailure syncContents(const std::filesystem::path& file, const std::filesystem::path& target) {
    Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0) {
        return failed(target, "cannot write", errno);
    }
    return {};
}

/// Makes the renames in `target`'s folder reach the disk. A folder that cannot be synced
/// (some file systems refuse) leaves the rename done but not yet durable: not a failure to
/// report, as the new file is in place and undoing it would lose more.
void syncFolder(const std::filesystem::path& target) {
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) {
        ::fsync(fd.get());
    }
}

}  // namespace

Result<StagedFile> StagedFile::create(std::filesystem::path target, mode_t mode, bool exactMode) {
    StagedFile file(std::move(target));
    // A hidden name next to the target; O_EXCL and a retry keep two runs from sharing one.
    for (unsigned attempt = 0;; ++attempt) {
        const std::filesystem::path candidate = hiddenSibling(file.target_, attempt, "tmp");
        Descriptor fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (fd.get() < 0) {
            if (errno == EEXIST && attempt < 100) {
                continue;
            }
            return failed(file.target_, "cannot create", errno);
        }
        file.temporary_ = candidate;  // removed again by the destructor on failure
        if (exactMode && ::fchmod(fd.get(), mode) != 0) {
            return failed(file.target_, "cannot set permissions", errno);
        }
        return file;
    }
}

StagedFile::~StagedFile() {
    if (!committed_ && !temporary_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : target_(std::move(other.target_)),
      temporary_(std::exchange(other.temporary_, {})),
      committed_(other.committed_) {}

MaybeFailure StagedFile::write(ByteView bytes) {
    Descriptor fd(::open(temporary_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (fd.get() < 0) {
        return failed(target_, "cannot write", errno);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed(target_, "cannot write", errno);
        }
        done += static_cast<std::size_t>(n);
    }
    if (fd.close() != 0) {
        return failed(target_, "cannot write", errno);
    }
    return {};
}

MaybeFailure StagedFile::commit() {
    if (MaybeFailure unsynced = syncContents(temporary_, target_)) {
        return unsynced;
    }
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        return failed(target_, "cannot replace", errno);
    }
    committed_ = true;
    syncFolder(target_);
    return {};
}

Result<StagedFile*> StagedOutputs::add(const std::filesystem::path& target, mode_t mode,
                                       bool exactMode) {
    Result<StagedFile> file = StagedFile::create(target, mode, exactMode);
    if (!file) {
        return file.error();
    }
    return &files_.emplace_back(std::move(*file));
}

MaybeFailure StagedOutputs::stage(const std::filesystem::path& target, ByteView bytes, mode_t mode,
                                  bool exactMode) {
    Result<StagedFile*> file = add(target, mode, exactMode);
    return file ? (*file)->write(bytes) : MaybeFailure{file.error()};
}

namespace {

/// An existing target kept under a hidden name while the group commits.
struct Kept {
    std::filesystem::path target;
    std::filesystem::path saved;  ///< empty when the target did not exist
};

/// Keeps `target`'s current file under a hidden name beside it, as a second link, so the
/// target itself stays in place until the rename replaces it.
Result<Kept> keep(const std::filesystem::path& target) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return Kept{target, {}};
        }
        return failed(target, "cannot replace", errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return Failure::at(kFileDomain, EISDIR, target.string(), "cannot replace: is a folder");
    }
    for (unsigned attempt = 0;; ++attempt) {
        const std::filesystem::path saved = hiddenSibling(target, attempt, "old");
        if (::link(target.c_str(), saved.c_str()) == 0) {
            return Kept{target, saved};
        }
        if (errno != EEXIST || attempt >= 100) {
            return failed(target, "cannot keep the previous version", errno);
        }
    }
}

}  // namespace

MaybeFailure StagedOutputs::commitAll() {
    std::vector<Kept> kept;
    // Removes the kept versions however this ends: after a success they are the old files,
    // after a rollback they have been renamed back already.
    struct Cleanup {
        std::vector<Kept>& kept;
        ~Cleanup() {
            for (const Kept& k : kept) {
                if (!k.saved.empty()) {
                    ::unlink(k.saved.c_str());
                }
            }
        }
    } cleanup{kept};
    // Every check that can fail comes before the first rename.
    for (const StagedFile& file : files_) {
        if (MaybeFailure unsynced = syncContents(file.temporary_, file.target_)) {
            return unsynced;
        }
        Result<Kept> k = keep(file.target());
        if (!k) {
            return k.error();
        }
        kept.push_back(std::move(*k));
    }
    for (std::size_t i = 0; i < files_.size(); ++i) {
        if (::rename(files_[i].temporary_.c_str(), files_[i].target_.c_str()) == 0) {
            files_[i].committed_ = true;
            continue;
        }
        const int error = errno;
        for (std::size_t j = 0; j < i; ++j) {
            const Kept& k = kept[j];
            if (k.saved.empty()) {
                ::unlink(k.target.c_str());
            } else {
                ::rename(k.saved.c_str(), k.target.c_str());
            }
        }
        return failed(files_[i].target_, "cannot replace", error);
    }
    for (const StagedFile& file : files_) {
        syncFolder(file.target_);
    }
    return {};
}

Result<bool> makePrivateFolders(const std::filesystem::path& folder,
                                std::filesystem::path* failedAt) {
    std::filesystem::path partial;
    const auto fail = [&](const std::filesystem::path& at, int error) {
        if (failedAt != nullptr) {
            *failedAt = at;
        }
        return failed(at, "cannot create the folder", error);
    };
    bool created = false;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) == 0) {
            created = true;
            // mkdir's mode passes through the umask; insist on exactly owner-only.
            if (::chmod(partial.c_str(), 0700) != 0) {
                return fail(partial, errno);
            }
        } else if (errno != EEXIST) {
            return fail(partial, errno);
        } else {
            created = false;
        }
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return fail(folder, ENOTDIR);
    }
    return created;
}

Result<bool> makeOutputFolder(const std::filesystem::path& folder) {
    // A mistyped parent would otherwise become a whole tree of folders nobody asked for.
    const std::filesystem::path parent = folder.parent_path();
    struct stat info {};
    if (!parent.empty() && (::stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
        return Failure::at(kFileDomain, ENOENT, folder.string(),
                           "cannot create the folder: " + parent.string() +
                               " is not a folder (only the last folder of the path is made)");
    }
    return makePrivateFolders(folder);
}

Result<OutputFolder> OutputFolder::create(std::filesystem::path path) {
    OutputFolder folder(std::move(path));
    Result<bool> created = makeOutputFolder(folder.folder_);
    if (!created) {
        return created.error();
    }
    folder.created_ = *created;
    return folder;
}

OutputFolder::~OutputFolder() {
    if (created_) {
        std::error_code ignored;
        std::filesystem::remove(folder_, ignored);  // fails, harmlessly, unless empty
    }
}

Result<Bytes> readFile(const std::filesystem::path& path, std::uint64_t limit,
                       std::string_view what) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, for ever.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        return failed(path, "cannot read", errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return failed(path, "cannot read", errno);
    }
    if (S_ISDIR(info.st_mode)) {
        return Failure::at(kFileDomain, EISDIR, path.string(), "cannot read: is a folder");
    }
    if (!S_ISREG(info.st_mode)) {
        return Failure::at(kFileDomain, EINVAL, path.string(), "cannot read: not a regular file");
    }
    const auto tooLarge = [&] {
        const bool mebibytes = limit % (1u << 20) == 0;
        return Failure::at(kFileDomain, EFBIG, path.string(),
                           "too large for " + std::string(what) + " (at most " +
                               std::to_string(mebibytes ? limit >> 20 : limit >> 10) +
                               (mebibytes ? " MiB)" : " KiB)"));
    };
    if (static_cast<std::uint64_t>(info.st_size) > limit) {
        return tooLarge();
    }
    // The size may change under us; read to the end, but never past the limit.
    Bytes bytes(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (bytes.size() > limit) {
                return tooLarge();
            }
            bytes.resize(std::min<std::uint64_t>(limit + 1, bytes.size() * 2));
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return failed(path, "cannot read", errno);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

namespace {

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    struct stat sa {
    }, sb{};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    std::error_code ea, eb;
    const auto ra = std::filesystem::weakly_canonical(std::filesystem::absolute(a), ea);
    const auto rb = std::filesystem::weakly_canonical(std::filesystem::absolute(b), eb);
    return !ea && !eb && ra == rb;
}

}  // namespace

MaybeFailure requireDistinctFiles(const std::vector<NamedFile>& outputs,
                                  const std::vector<NamedFile>& inputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (sameFile(outputs[i].path, outputs[j].path)) {
                return Failure{kFileDomain, EEXIST,
                               outputs[i].path.string() + ": named by both " + outputs[j].option +
                                   " and " + outputs[i].option +
                                   " (each output needs a file of its own)"};
            }
        }
        for (const NamedFile& input : inputs) {
            if (sameFile(outputs[i].path, input.path)) {
                return Failure{kFileDomain, EEXIST,
                               outputs[i].path.string() + ": named by both " + input.option +
                                   " and " + outputs[i].option +
                                   " (an output cannot replace what the command reads)"};
            }
        }
    }
    return {};
}

}  // namespace penwell::filesystem
