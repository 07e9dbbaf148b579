#pragma once
// How the command-line tool fails: one line that names the file (or option) and says what is
// wrong. Every command catches ToolError at the top, prints what() on stderr and exits 1. The
// libraries the commands use answer failures as values; must() turns one into this line.

#include <stdexcept>
#include <string>
#include <utility>

#include "platform/Result.h"

namespace penwell::tools {

class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// The value, or the failure's one line thrown as a ToolError.
template <typename T>
T must(Result<T> result) {
    if (!result) {
        throw ToolError(result.error().message);
    }
    return std::move(*result);
}

/// Throws the failure's one line as a ToolError, if there is one.
inline void must(const MaybeFailure& status) {
    if (status) {
        throw ToolError(status->message);
    }
}

}  // namespace penwell::tools
