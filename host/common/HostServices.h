#pragma once
// The services behind every pad this repository's programs drive (the tool's replay and demo,
// the browser host's sessions, the fuzzers).

#include <filesystem>

#include "platform/Defaults.h"

namespace penwell::host {

/// The default backends on `host`, with the store file the options name; without one, a
/// throwaway store in memory, so a program never installs anything in the user's store by
/// accident. Without a resource folder, installedResourceFolder().
Services hostServices(const headless::HeadlessHost& host, const ServiceOptions& options);

/// The folder holding Penwell.dat when none is given: $PENWELL_RESOURCES when set and not
/// empty; else ../share/penwell beside the running program when that folder exists (an install
/// under any prefix, moved or not); else the library's build-time default.
std::filesystem::path installedResourceFolder();

}  // namespace penwell::host
