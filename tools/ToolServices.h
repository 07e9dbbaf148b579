#pragma once
// The services behind every pad the tool drives (replay, demo, serve, the fuzzers).

#include <filesystem>

#include "platform/Defaults.h"

namespace penwell::tools {

/// The default backends on `host`, with the store file the options name; without one, a
/// throwaway store in memory, so the tool never installs anything in the user's store by
/// accident. Without a resource folder, toolResourceFolder().
Services toolServices(const headless::HeadlessHost& host, const ServiceOptions& options);

/// The folder holding Penwell.dat when --resources is not given: $PENWELL_RESOURCES when set
/// and not empty; else ../share/penwell beside the running program when that folder exists
/// (an install under any prefix, moved or not); else the library's build-time default.
std::filesystem::path toolResourceFolder();

}  // namespace penwell::tools
