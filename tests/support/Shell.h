#pragma once
// Runs an independent tool (openssl) for a known answer the code under test must match.

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace penwell::test {

/// The standard output of `command` with trailing newlines removed; throws when it fails.
inline std::string run(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        throw std::runtime_error("cannot run " + command);
    }
    std::string out;
    char buffer[4096];
    while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) {
        out.append(buffer, n);
    }
    if (pclose(pipe.release()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

/// How a command ended (its exit code, -1 when a signal ended it) and what it printed.
struct Shell {
    int status = -1;
    std::string output;  ///< stdout and stderr
};

/// Runs `command` with sh, stdout and stderr together; never throws, so that a test can look at
/// a failure's words.
inline Shell runCombined(const std::string& command) {
    Shell r;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return r;
    }
    char buffer[4096];
    while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
        r.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

/// `text` quoted for the shell.
inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

}  // namespace penwell::test
