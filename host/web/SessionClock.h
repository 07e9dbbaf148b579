#pragma once
// The session's clock for its logs and throttles, shared by the protocol and the pictures.

#include <chrono>

namespace penwell::web {

using SessionClock = std::chrono::steady_clock;

/// Seconds from `start` to now, for the log's timings.
inline double secondsSince(SessionClock::time_point start) {
    return std::chrono::duration<double>(SessionClock::now() - start).count();
}

}  // namespace penwell::web
