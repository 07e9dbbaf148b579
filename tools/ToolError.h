#pragma once
// How the command-line tool fails: one line that names the file (or option) and says what is
// wrong. Every command catches ToolError at the top, prints what() on stderr and exits 1.

#include <stdexcept>
#include <string>

namespace penwell::tools {

class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace penwell::tools
