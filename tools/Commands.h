#pragma once
// The subcommands of the penwell tool, apart from their command-line parsing (penwell.cpp),
// so tests can run them directly. Each returns the process exit code and throws ToolError for
// anything it cannot do; output files are staged and appear only on success.

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

namespace penwell::tools {

struct OpenOptions {
    std::filesystem::path privateKey;
    std::filesystem::path data;
    std::filesystem::path key;
    bool json = false;
    std::optional<std::filesystem::path> png;
    double lineWidth = 3.0;
};
int runOpen(const OpenOptions& options, std::ostream& out);

struct CertNewOptions {
    std::filesystem::path out;
    int bits = 2048;
    int days = 3650;
    bool force = false;
};
int runCertNew(const CertNewOptions& options, std::ostream& out);

int runCertShow(const std::filesystem::path& file, std::ostream& out);

/// File names that `cert new` writes into its folder.
inline constexpr const char* kCertificateFileName = "Penwell.dat";
inline constexpr const char* kPrivateKeyFileName = "private-key.pem";

}  // namespace penwell::tools
