#include "tools/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "tools/ToolError.h"

namespace penwell::tools {

namespace {

std::string reason(int error) {
    return std::generic_category().message(error);
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

}  // namespace

StagedFile::StagedFile(std::filesystem::path target, mode_t mode, bool exactMode)
    : target_(std::move(target)) {
    // A hidden name next to the target; O_EXCL and a retry keep two runs from sharing one.
    for (unsigned attempt = 0;; ++attempt) {
        const std::filesystem::path candidate = hiddenSibling(target_, attempt, "tmp");
        Descriptor fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (fd.get() < 0) {
            if (errno == EEXIST && attempt < 100) {
                continue;
            }
            throw ToolError(target_.string() + ": cannot create: " + reason(errno));
        }
        temporary_ = candidate;
        if (exactMode && ::fchmod(fd.get(), mode) != 0) {
            const int error = errno;
            std::error_code ignored;
            std::filesystem::remove(temporary_, ignored);
            throw ToolError(target_.string() + ": cannot set permissions: " + reason(error));
        }
        return;
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

void StagedFile::write(ByteView bytes) {
    Descriptor fd(::open(temporary_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
    if (fd.get() < 0) {
        throw ToolError(target_.string() + ": cannot write: " + reason(errno));
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ToolError(target_.string() + ": cannot write: " + reason(errno));
        }
        done += static_cast<std::size_t>(n);
    }
    if (fd.close() != 0) {
        throw ToolError(target_.string() + ": cannot write: " + reason(errno));
    }
}

void StagedFile::commit() {
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
        throw ToolError(target_.string() + ": cannot replace: " + reason(errno));
    }
    committed_ = true;
}

StagedFile& StagedOutputs::add(const std::filesystem::path& target, mode_t mode, bool exactMode) {
    return files_.emplace_back(target, mode, exactMode);
}

namespace {

/// An existing target kept under a hidden name while the group commits.
struct Kept {
    std::filesystem::path target;
    std::filesystem::path saved;  ///< empty when the target did not exist
};

/// Keeps `target`'s current file under a hidden name beside it, as a second link, so the
/// target itself stays in place until the rename replaces it.
Kept keep(const std::filesystem::path& target) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return {target, {}};
        }
        throw ToolError(target.string() + ": cannot replace: " + reason(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        throw ToolError(target.string() + ": cannot replace: is a folder");
    }
    for (unsigned attempt = 0;; ++attempt) {
        const std::filesystem::path saved = hiddenSibling(target, attempt, "old");
        if (::link(target.c_str(), saved.c_str()) == 0) {
            return {target, saved};
        }
        if (errno != EEXIST || attempt >= 100) {
            throw ToolError(target.string() +
                            ": cannot keep the previous version: " + reason(errno));
        }
    }
}

}  // namespace

void StagedOutputs::commitAll() {
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
        kept.push_back(keep(file.target()));
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
        throw ToolError(files_[i].target_.string() + ": cannot replace: " + reason(error));
    }
}

OutputFolder::OutputFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
    std::error_code error;
    created_ = std::filesystem::create_directories(folder_, error);
    if (error) {
        throw ToolError(folder_.string() + ": cannot create the folder: " + error.message());
    }
}

OutputFolder::~OutputFolder() {
    if (created_) {
        std::error_code ignored;
        std::filesystem::remove(folder_, ignored);  // fails, harmlessly, unless empty
    }
}

Bytes readFile(const std::filesystem::path& path, std::uint64_t limit, std::string_view what) {
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer, for ever.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) {
        throw ToolError(path.string() + ": cannot read: " + reason(errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        throw ToolError(path.string() + ": cannot read: " + reason(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        throw ToolError(path.string() + ": cannot read: is a folder");
    }
    if (!S_ISREG(info.st_mode)) {
        throw ToolError(path.string() + ": cannot read: not a regular file");
    }
    const auto tooLarge = [&] {
        const bool mebibytes = limit % (1u << 20) == 0;
        return ToolError(path.string() + ": too large for " + std::string(what) + " (at most " +
                         std::to_string(mebibytes ? limit >> 20 : limit >> 10) +
                         (mebibytes ? " MiB)" : " KiB)"));
    };
    if (static_cast<std::uint64_t>(info.st_size) > limit) {
        throw tooLarge();
    }
    // The size may change under us; read to the end, but never past the limit.
    Bytes bytes(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            if (bytes.size() > limit) {
                throw tooLarge();
            }
            bytes.resize(std::min<std::uint64_t>(limit + 1, bytes.size() * 2));
        }
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ToolError(path.string() + ": cannot read: " + reason(errno));
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

void requireDistinctFiles(const std::vector<NamedFile>& outputs,
                          const std::vector<NamedFile>& inputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (sameFile(outputs[i].path, outputs[j].path)) {
                throw ToolError(outputs[i].path.string() + ": named by both " + outputs[j].option +
                                " and " + outputs[i].option +
                                " (each output needs a file of its own)");
            }
        }
        for (const NamedFile& input : inputs) {
            if (sameFile(outputs[i].path, input.path)) {
                throw ToolError(outputs[i].path.string() + ": named by both " + input.option +
                                " and " + outputs[i].option +
                                " (an output cannot replace what "
                                "the command reads)");
            }
        }
    }
}

TemporaryFolder::TemporaryFolder(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw ToolError(pattern + ": cannot create a temporary folder: " + reason(errno));
    }
    path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace penwell::tools
