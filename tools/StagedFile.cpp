#include "tools/StagedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
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

}  // namespace

StagedFile::StagedFile(std::filesystem::path target, mode_t mode, bool exactMode)
    : target_(std::move(target)) {
    const std::filesystem::path folder =
        target_.has_parent_path() ? target_.parent_path() : std::filesystem::path(".");
    // A hidden name next to the target; O_EXCL and a retry keep two runs from sharing one.
    for (unsigned attempt = 0;; ++attempt) {
        // Appended piecewise: GCC 12 at -O3 reports a false memcpy overlap (-Werror=restrict)
        // for `"." + std::string`.
        std::string name = ".";
        name += target_.filename().string();
        name += '.';
        name += std::to_string(::getpid());
        name += '.';
        name += std::to_string(attempt);
        name += ".tmp";
        const std::filesystem::path candidate = folder / name;
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

void StagedOutputs::commitAll() {
    for (StagedFile& file : files_) {
        file.commit();
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

Bytes readFile(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        throw ToolError(path.string() + ": cannot read: is a folder");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(path.string() + ": cannot read: " + reason(errno));
    }
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw ToolError(path.string() + ": cannot read: " + reason(errno));
    }
    return bytes;
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
