#pragma once
// Delivering the webhook outbox: take the entries due, POST each to its URL with its
// Penwell-Signature, and record each as delivered or failed with its next attempt
// (nextAttempt(): exponential backoff, given up after 24 hours). The HTTP client is a
// function given in, so the service stays free of any network library and the tests give a
// receiver of their own.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "penwell/platform/Result.h"
#include "penwell/service/PeriodicTask.h"
#include "penwell/service/SigningStore.h"

namespace penwell::service {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;
/// POSTs `body` to `url` with `headers` and answers the response's status code, or a failure
/// when no response came (refused, timed out, a TLS failure). Bounded in time by the client.
using WebhookPost = std::function<Result<int>(const std::string& url, const HttpHeaders& headers,
                                              const std::string& body)>;

struct WebhookSettings {
    std::string defaultUrl;  ///< for requests that name none; empty: the server has none
    std::string secret;      ///< the HMAC key of Penwell-Signature
    /// How long a taken entry stays leased: longer than a POST may take (the client's timeout),
    /// so that no other worker sends it meanwhile.
    TimeMs leaseMs = 120'000;
    int batch = 32;  ///< the most entries taken in one round
};

/// What one round did.
struct DeliveryRound {
    int delivered = 0;
    int failed = 0;    ///< to be tried again
    int givenUp = 0;   ///< past the retry window, or with no URL to send to
};

/// Takes the entries due now and delivers each once. A 2xx answer is a delivery; any other
/// answer or none is a failure. An entry with no URL (none of its own, no default) is given up:
/// there is nowhere it could ever go. Fails only when the store does; entries already recorded
/// stay recorded, and an entry taken but not recorded comes back when its lease runs out.
Result<DeliveryRound> deliverDue(SigningStore& store, const Clock& clock,
                                 const WebhookSettings& settings, const WebhookPost& post);

/// deliverDue() on its own thread, every `interval` until destroyed (or stopped), in the serve
/// process. A failed round is reported to `report` (one line) and tried again next time.
class WebhookWorker {
public:
    WebhookWorker(std::shared_ptr<SigningStore> store, Clock clock, WebhookSettings settings,
                  WebhookPost post, std::chrono::milliseconds interval,
                  std::function<void(const std::string&)> report);
    WebhookWorker(const WebhookWorker&) = delete;
    WebhookWorker& operator=(const WebhookWorker&) = delete;

    /// Ends the current round's wait and joins the thread; a POST under way finishes first.
    void stop() { task_.stop(); }

private:
    std::shared_ptr<SigningStore> store_;
    Clock clock_;
    WebhookSettings settings_;
    WebhookPost post_;
    std::function<void(const std::string&)> report_;
    PeriodicTask task_;  // last: its thread uses the members above
};

}  // namespace penwell::service
