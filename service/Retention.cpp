#include "penwell/service/Retention.h"

namespace penwell::service {

Actor retentionActor() {
    return {"", "penwell retention"};
}

Result<SweepReport> sweep(SigningService& service, const RetentionSettings& settings,
                          const std::function<bool()>& stopping) {
    SweepReport report;
    const auto more = [&](std::int64_t lastBatch, int round) {
        return lastBatch == settings.batch && round + 1 < settings.maxBatches &&
               !(stopping && stopping());
    };
    // An expiry nobody acted on is written here, so that the request ends and its retention
    // period starts (and its webhook goes out) even when no signer comes back.
    for (int round = 0;; ++round) {
        auto expired = service.expireDue(settings.batch);
        if (!expired) {
            return expired.error();
        }
        report.expired += *expired;
        if (!more(*expired, round)) {
            break;
        }
    }
    SigningStore& store = service.store();
    const TimeMs now = service.now();
    if (settings.keepFor) {
        for (int round = 0;; ++round) {
            auto batch = store.purgeEnded(now - *settings.keepFor, now, retentionActor(),
                                          settings.batch);
            if (!batch) {
                return batch.error();
            }
            report.purged += static_cast<std::int64_t>(batch->requests.size());
            report.samples += batch->samples;
            report.files += batch->files;
            if (!batch->filesLeft.empty() && report.filesLeft.empty()) {
                report.filesLeft = batch->filesLeft;
            }
            if (!more(static_cast<std::int64_t>(batch->requests.size()), round)) {
                break;
            }
        }
        // Files whose removal a crash or a failure cut short in an earlier sweep.
        auto orphans = store.removePurgedFiles(settings.batch);
        if (!orphans) {
            report.filesLeft = orphans.error().message;
        } else {
            report.files += *orphans;
        }
    }
    for (int round = 0;; ++round) {
        auto forgotten = store.forgetAnswers(now - kAnswerKeptMs, settings.batch);
        if (!forgotten) {
            return forgotten.error();
        }
        report.answers += *forgotten;
        if (!more(*forgotten, round)) {
            break;
        }
    }
    return report;
}

RetentionWorker::RetentionWorker(std::shared_ptr<SigningService> service,
                                 RetentionSettings settings, std::chrono::milliseconds interval,
                                 std::function<void(const std::string&)> report)
    : service_(std::move(service)),
      settings_(settings),
      report_(std::move(report)),
      task_(
          [this](const std::function<bool()>& stopping) {
              const Result<SweepReport> swept = sweep(*service_, settings_, stopping);
              if (report_) {
                  if (!swept) {
                      report_(swept.error().message);
                  } else if (!swept->filesLeft.empty()) {
                      report_("files stay for the next sweep: " + swept->filesLeft);
                  }
              }
          },
          interval) {}

}  // namespace penwell::service
