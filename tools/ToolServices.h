#pragma once
// The services behind every pad the tool drives (replay, demo, serve, the fuzzers).

#include "platform/Defaults.h"

namespace penwell::tools {

/// The default backends on `host`, with the store file the options name; without one, a
/// throwaway store in memory, so the tool never installs anything in the user's store by
/// accident.
Services toolServices(const headless::HeadlessHost& host, const ServiceOptions& options);

}  // namespace penwell::tools
