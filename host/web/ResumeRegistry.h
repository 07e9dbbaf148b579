#pragma once
// The pads a page may come back to: every pad by its resume token, and those whose page dropped
// off the network without a close, kept ("parked") until their grace runs out. A token is
// unguessable, so only the page that was given it finds its pad again.

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "penwell/platform/Result.h"

namespace penwell::web {

class Pad;  // PadSocket.h

/// Domain of a resume token the system could not make.
inline constexpr const char* kResumeErrorDomain = "PenwellWebResume";

class ResumeRegistry {
public:
    /// 128 bits from the operating system's generator, as 32 hex digits; fails when it has none.
    static Result<std::string> newToken();

    /// `pad` is found by `token` for as long as it lives. Thread-safe, as is all of this.
    void add(const std::string& token, const std::weak_ptr<Pad>& pad);
    /// The pad of `token`, if it still lives, no longer parked: a page came back to it (its old
    /// connection may not have noticed the drop yet). Null for an unknown or expired token.
    std::shared_ptr<Pad> claim(const std::string& token);
    /// Keeps `pad` alive for its page to come back to.
    void park(const std::string& token, std::shared_ptr<Pad> pad);
    /// The grace of `token` ran out: answers whether its pad was still parked, and lets it go.
    bool expire(const std::string& token);
    /// Every parked pad, handed over as the server stops.
    std::map<std::string, std::shared_ptr<Pad>> takeParked();

private:
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<Pad>> pads_;
    std::map<std::string, std::shared_ptr<Pad>> parked_;
};

}  // namespace penwell::web
