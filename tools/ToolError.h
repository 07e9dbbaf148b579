#pragma once
// How the command-line tool fails: one line that names the file (or option) and says what is
// wrong, and an exit code: 2 for a usage error (options that do not go together, or a value
// that does not parse), 1 for anything the command could not do. The libraries the commands
// use answer failures as values; must() turns one into a ToolError, and runCommand() turns a
// ToolError into the line and the exit code, the same way for every command.

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "penwell/platform/Result.h"

namespace penwell::tools {

/// The exit code of a command that could not do what it was asked.
inline constexpr int kExitFailure = 1;
/// The exit code of a usage error, as for options the command line parser refuses.
inline constexpr int kExitUsage = 2;

class ToolError : public std::runtime_error {
public:
    explicit ToolError(const std::string& message, int exitCode = kExitFailure)
        : std::runtime_error(message), exitCode_(exitCode) {}

    int exitCode() const noexcept { return exitCode_; }

private:
    int exitCode_;
};

/// A usage error: options that do not go together, or a value that does not parse.
class UsageError : public ToolError {
public:
    explicit UsageError(const std::string& message) : ToolError(message, kExitUsage) {}
};

/// The value, or the failure's one line thrown as a ToolError with `exitCode`.
template <typename T>
T must(Result<T> result, int exitCode = kExitFailure) {
    if (!result) {
        throw ToolError(result.error().message, exitCode);
    }
    return std::move(*result);
}

/// Throws the failure's one line as a ToolError, if there is one.
inline void must(const MaybeFailure& status, int exitCode = kExitFailure) {
    if (status) {
        throw ToolError(status->message, exitCode);
    }
}

/// Runs `command` and answers its exit code. A ToolError becomes "penwell: <what>" on `err` and
/// its exit code, which `failureCode` replaces when the command gives 1 a meaning of its own
/// (`verify check`'s reject). Anything else thrown is a programming error or a library that
/// broke its word: "penwell: unexpected failure: <what>" and `failureCode`.
inline int runCommand(const std::function<int()>& command, std::ostream& err,
                      int failureCode = kExitFailure) {
    try {
        return command();
    } catch (const ToolError& e) {
        err << "penwell: " << e.what() << '\n';
        return e.exitCode() == kExitFailure ? failureCode : e.exitCode();
    } catch (const std::exception& e) {
        err << "penwell: unexpected failure: " << e.what() << '\n';
        return failureCode;
    }
}

}  // namespace penwell::tools
