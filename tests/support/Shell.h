#pragma once
// Runs an independent tool (openssl) for a known answer the code under test must match.

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

/// `text` quoted for the shell.
inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

}  // namespace penwell::test
