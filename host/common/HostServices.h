#pragma once
// The services behind every pad this repository's programs drive (the tool's replay and demo,
// the browser host's sessions, the fuzzers).

#include <filesystem>

#include "penwell/platform/Defaults.h"

namespace penwell::host {

/// The default backends on `host`, with the store file the options name; without one, a
/// throwaway store in memory, so a program never installs anything in the user's store by
/// accident. Without a resource folder, installedResourceFolder().
Services hostServices(const headless::HeadlessHost& host, const ServiceOptions& options);

/// The folder holding Penwell.dat when none is given: the library's default
/// (filesystem::DirectoryBundle::defaultFolder(): $PENWELL_RESOURCES, a configured folder, or
/// share/penwell of the install the program runs from, wherever it was moved).
std::filesystem::path installedResourceFolder();

}  // namespace penwell::host
