#pragma once
// Keeping no more than asked: a sweep that writes the expiry of requests whose time passed,
// deletes the samples and files of requests that ended longer ago than the retention period
// (the request, its signers, the revisions' hashes and the trail stay), and forgets
// Idempotency-Key answers after a day, since they hold signing links. The signed PDF is the
// institution's to keep; the service keeps no handwriting longer than it was told.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "penwell/platform/Result.h"
#include "penwell/service/PeriodicTask.h"
#include "penwell/service/SigningService.h"

namespace penwell::service {

inline constexpr TimeMs kDayMs = 86'400'000;
/// How long an Idempotency-Key answer is kept: long enough for any client's retries.
inline constexpr TimeMs kAnswerKeptMs = kDayMs;

struct RetentionSettings {
    /// How long after it ended a request keeps its samples and files; nullopt: for ever.
    std::optional<TimeMs> keepFor;
    /// Requests expired, purged or answers forgotten per transaction: each write stays short,
    /// so signers' writes wait for it no longer than for any other.
    int batch = 100;
    /// Transactions per sweep at most, so that a worker being stopped is not kept waiting by a
    /// large backlog (the next sweep goes on with it).
    int maxBatches = 100;
};

/// What one sweep did.
struct SweepReport {
    int expired = 0;
    std::int64_t purged = 0;    ///< requests whose samples and files were deleted
    std::int64_t samples = 0;   ///< sample messages deleted
    std::int64_t files = 0;     ///< files removed, orphans of earlier sweeps included
    std::int64_t answers = 0;   ///< Idempotency-Key answers forgotten
    std::string filesLeft;      ///< why some files stayed for the next sweep; empty: none
};

/// The actor that purges, as the trail names it.
Actor retentionActor();

/// One sweep at the service's time: expiries due, then (with keepFor) purges of requests that
/// ended at or before now - keepFor and the files earlier purges left behind, then answers
/// older than kAnswerKeptMs. Fails with the store's first failure; what was committed before
/// it stays committed. `stopping`, when given, is asked between transactions.
Result<SweepReport> sweep(SigningService& service, const RetentionSettings& settings,
                          const std::function<bool()>& stopping = {});

/// sweep() on its own thread: once at start and then every `interval`, until destroyed (or
/// stopped). A failed sweep, or files that stayed, are reported to `report` (one line) and the
/// next sweep tries again.
class RetentionWorker {
public:
    RetentionWorker(std::shared_ptr<SigningService> service, RetentionSettings settings,
                    std::chrono::milliseconds interval,
                    std::function<void(const std::string&)> report);
    RetentionWorker(const RetentionWorker&) = delete;
    RetentionWorker& operator=(const RetentionWorker&) = delete;

    /// Ends the wait, lets the transaction under way finish, and joins the thread.
    void stop() { task_.stop(); }

private:
    std::shared_ptr<SigningService> service_;
    RetentionSettings settings_;
    std::function<void(const std::string&)> report_;
    PeriodicTask task_;  // last: its thread uses the members above
};

}  // namespace penwell::service
