#include "penwell/host/web/SessionAdmission.h"

#include <algorithm>

namespace penwell::web {

SessionAdmission::SessionAdmission(std::size_t maxSessions, std::size_t sessionsPerAddress,
                                   double burst, double perSecond)
    : maxSessions_(maxSessions),
      sessionsPerAddress_(sessionsPerAddress),
      burst_(burst),
      perSecond_(perSecond) {}

std::optional<std::string> SessionAdmission::admit(const std::string& address,
                                                   Clock::time_point now) {
    std::lock_guard lock(mutex_);
    const auto refill = [&](AddressUse& use) {
        // A clock read before the last one (two threads racing to here) gives nothing back.
        const double seconds =
            std::max(0.0, std::chrono::duration<double>(now - use.counted).count());
        use.allowance = std::min(burst_, use.allowance + seconds * perSecond_);
        use.counted = std::max(use.counted, now);
    };
    // Addresses that hold nothing and may open a full burst again need no entry.
    for (auto it = addresses_.begin(); it != addresses_.end();) {
        refill(it->second);
        const bool idle = it->second.sessions == 0 && it->second.allowance >= burst_;
        it = idle ? addresses_.erase(it) : std::next(it);
    }
    if (sessions_ >= maxSessions_) {
        return std::to_string(maxSessions_) + " signers at once already";
    }
    if (!address.empty()) {
        const auto [it, added] = addresses_.try_emplace(address, AddressUse{0, burst_, now});
        AddressUse& use = it->second;
        if (use.sessions >= sessionsPerAddress_) {
            return std::to_string(sessionsPerAddress_) + " signers from one address already";
        }
        if (use.allowance < 1.0) {
            return "new sessions from one address too fast";
        }
        use.allowance -= 1.0;
        ++use.sessions;
    }
    ++sessions_;
    return std::nullopt;
}

std::size_t SessionAdmission::release(const std::string& address) {
    if (!address.empty()) {
        std::lock_guard lock(mutex_);
        if (const auto it = addresses_.find(address); it != addresses_.end()) {
            --it->second.sessions;
        }
    }
    return --sessions_;
}

std::size_t SessionAdmission::trackedAddresses() const {
    std::lock_guard lock(mutex_);
    return addresses_.size();
}

}  // namespace penwell::web
