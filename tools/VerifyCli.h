#pragma once
// The command line of `penwell verify`, kept beside its commands so penwell.cpp only adds it.

#include <CLI/CLI.hpp>
#include <functional>

namespace penwell::tools {

/// Adds `verify` and its subcommands to `app`; the chosen one sets `action`. The options live
/// as long as the program.
void addVerifyCommand(CLI::App& app, std::function<int()>& action);

}  // namespace penwell::tools
