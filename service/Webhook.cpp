#include "penwell/service/Webhook.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "penwell/platform/openssl/Digests.h"

namespace penwell::service {
namespace {

constexpr TimeMs kFirstWaitMs = 30'000;
constexpr TimeMs kLongestWaitMs = 6LL * 60 * 60 * 1000;

}  // namespace

std::string webhookSignature(const std::string& secret, std::int64_t unixSeconds,
                             const std::string& body) {
    const std::string time = std::to_string(unixSeconds);
    const std::string signedText = time + "." + body;
    const auto mac = openssl::hmacSha256(asBytes(secret), asBytes(signedText));
    return "t=" + time + ",v1=" + hexDigits(mac);
}

std::string webhookPayload(const OutboxEntry& entry) {
    // The data is stored already serialised; splicing it in keeps its bytes exactly as written.
    nlohmann::ordered_json head;
    head["id"] = "evt_" + std::to_string(entry.id);
    head["type"] = entry.event;
    head["created"] = entry.createdAt;
    std::string out = head.dump();
    out.pop_back();  // the closing brace
    out += ",\"data\":" + entry.body + "}";
    return out;
}

std::string webhookData(const Request& request, int signerPosition) {
    nlohmann::ordered_json data;
    data["request"] = request.id;
    data["state"] = std::string(nameOf(request.state));
    for (const Signer& signer : request.signers) {
        if (signer.position == signerPosition) {
            data["signer"] = {{"position", signer.position},
                              {"name", signer.name},
                              {"state", std::string(nameOf(signer.state))}};
        }
    }
    if (!request.metadata.empty()) {
        auto metadata = nlohmann::ordered_json::parse(request.metadata, nullptr, false);
        data["metadata"] =
            metadata.is_discarded() ? nlohmann::ordered_json(request.metadata) : metadata;
    }
    // Names may hold any text; replace what is not UTF-8 rather than fail a committed change.
    return data.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::optional<TimeMs> nextAttempt(TimeMs createdAt, int attempts, TimeMs failedAt) {
    if (attempts < 1) {
        attempts = 1;
    }
    // 30 s doubled (attempts - 1) times reaches the 6-hour cap by the tenth failure; stop
    // doubling there so the shift never overflows.
    TimeMs wait = kFirstWaitMs;
    for (int i = 1; i < attempts && wait < kLongestWaitMs; ++i) {
        wait *= 2;
    }
    wait = std::min(wait, kLongestWaitMs);
    const TimeMs next = failedAt + wait;
    if (next > createdAt + kWebhookRetryWindowMs) {
        return std::nullopt;
    }
    return next;
}

}  // namespace penwell::service
