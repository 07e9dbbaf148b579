#include "penwell/service/WebhookDelivery.h"

#include "penwell/service/Webhook.h"

namespace penwell::service {

Result<DeliveryRound> deliverDue(SigningStore& store, const Clock& clock,
                                 const WebhookSettings& settings, const WebhookPost& post) {
    Result<std::vector<OutboxEntry>> due =
        store.takeDueOutbox(clock(), settings.leaseMs, settings.batch);
    if (!due) {
        return due.error();
    }
    DeliveryRound round;
    for (const OutboxEntry& entry : *due) {
        const std::string& url = entry.url.empty() ? settings.defaultUrl : entry.url;
        bool delivered = false;
        if (!url.empty()) {
            const std::string body = webhookPayload(entry);
            // Signed at the time of this attempt: a receiver refuses old replays by it.
            const HttpHeaders headers{
                {"Content-Type", "application/json"},
                {"Penwell-Signature", webhookSignature(settings.secret, clock() / 1000, body)}};
            const Result<int> status = post(url, headers, body);
            delivered = status && *status >= 200 && *status < 300;
        }
        const TimeMs now = clock();
        MaybeFailure recorded;
        if (delivered) {
            recorded = store.outboxDelivered(entry.id, now);
            ++round.delivered;
        } else {
            const std::optional<TimeMs> next =
                url.empty() ? std::nullopt : nextAttempt(entry.createdAt, entry.attempts + 1, now);
            recorded = store.outboxFailed(entry.id, next, now);
            ++(next ? round.failed : round.givenUp);
        }
        if (recorded) {
            return *recorded;
        }
    }
    return round;
}

WebhookWorker::WebhookWorker(std::shared_ptr<SigningStore> store, Clock clock,
                             WebhookSettings settings, WebhookPost post,
                             std::chrono::milliseconds interval,
                             std::function<void(const std::string&)> report)
    : store_(std::move(store)),
      clock_(std::move(clock)),
      settings_(std::move(settings)),
      post_(std::move(post)),
      report_(std::move(report)),
      task_(
          [this](const std::function<bool()>&) {
              const Result<DeliveryRound> round = deliverDue(*store_, clock_, settings_, post_);
              if (!round && report_) {
                  report_("webhooks: " + round.error().message);
              }
          },
          interval) {}

}  // namespace penwell::service
