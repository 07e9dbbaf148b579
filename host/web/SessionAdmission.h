#pragma once
// Who gets a pad: at most so many sessions at once, so many per signer's address, and new ones
// from one address no faster than a burst and then about one a second. No network here: the
// server asks with the address it counted and the time it read, so a test can feed both.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace penwell::web {

class SessionAdmission {
public:
    using Clock = std::chrono::steady_clock;

    /// `burst` new sessions an address may open at once, coming back at `perSecond`.
    SessionAdmission(std::size_t maxSessions, std::size_t sessionsPerAddress, double burst,
                     double perSecond);

    /// Takes a place for a new session of `address` ("" when it is not limited by address) at
    /// `now`, or answers why there is none ("16 signers at once already"); a refusal takes
    /// nothing. Thread-safe.
    std::optional<std::string> admit(const std::string& address, Clock::time_point now);

    /// A session admitted for `address` is gone. Answers how many are left. Thread-safe.
    std::size_t release(const std::string& address);

    /// Sessions admitted and not yet released.
    std::size_t sessions() const { return sessions_; }

    /// Addresses with an entry: those that hold a session or have used some of their burst.
    std::size_t trackedAddresses() const;

private:
    struct AddressUse {
        std::size_t sessions = 0;
        double allowance = 0;
        Clock::time_point counted;
    };

    const std::size_t maxSessions_;
    const std::size_t sessionsPerAddress_;
    const double burst_;
    const double perSecond_;
    mutable std::mutex mutex_;
    std::map<std::string, AddressUse> addresses_;
    std::atomic<std::size_t> sessions_{0};
};

}  // namespace penwell::web
