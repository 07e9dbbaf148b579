// The API's front: which paths it answers, the routes, authentication by API key, the
// Idempotency-Key of a POST, and the operator's health and metrics paths.

#include "penwell/host/web/api/Api.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "penwell/host/web/WebAssets.h"
#include "penwell/host/web/api/ApiHandlers.h"
#include "penwell/platform/openssl/Digests.h"

namespace penwell::web::api {

namespace {

constexpr std::string_view kPrefix = "/api/v1";
using Handler = ApiResponse (*)(const Call&);

struct Entry {
    Route route;
    Handler handler;
    int success;  ///< the status of a success, which an Idempotency-Key replays
};

const std::vector<Entry>& table() {
    static const std::vector<Entry> entries = {
        {{"POST", "/documents"}, postDocument, 201},
        {{"POST", "/requests"}, postRequest, 201},
        {{"GET", "/requests"}, listRequests, 200},
        {{"GET", "/requests/{id}"}, getRequest, 200},
        {{"GET", "/requests/{id}/document"}, getRequestDocument, 200},
        {{"GET", "/requests/{id}/audit"}, getAudit, 200},
        {{"POST", "/requests/{id}/cancel"}, cancelRequest, 200},
        {{"GET", "/openapi.json"}, nullptr, 200},
    };
    return entries;
}

/// Whether `path` matches `pattern`, collecting the "{id}" segments into `ids`.
bool matches(std::string_view pattern, std::string_view path, std::vector<std::string>& ids) {
    ids.clear();
    while (!pattern.empty() || !path.empty()) {
        if (pattern.empty() || path.empty() || pattern[0] != '/' || path[0] != '/') {
            return false;
        }
        pattern.remove_prefix(1);
        path.remove_prefix(1);
        const std::string_view want = pattern.substr(0, pattern.find('/'));
        const std::string_view got = path.substr(0, path.find('/'));
        if (want == "{id}") {
            if (got.empty()) {
                return false;
            }
            ids.emplace_back(got);
        } else if (want != got) {
            return false;
        }
        pattern.remove_prefix(want.size());
        path.remove_prefix(got.size());
    }
    return true;
}

/// An Idempotency-Key is 1 to 200 printable ASCII characters.
bool validKey(const std::string& key) {
    return !key.empty() && key.size() <= 200 &&
           std::all_of(key.begin(), key.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

}  // namespace

}  // namespace penwell::web::api

namespace penwell::web {
/// Generated from api/openapi.json (EmbedWeb.cmake).
std::span<const WebAsset> openApiAssets();
}  // namespace penwell::web

namespace penwell::web::api {

std::string_view openApiDocument() {
    return openApiAssets().front().body;
}

std::string jsonText(const nlohmann::json& value) {
    // A header's bytes (a user agent in the trail) need not be UTF-8: shown replaced, never
    // refused, so that an answer cannot fail on them.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ApiResponse refusal(int status, std::string_view code, std::string_view message) {
    return {status,
            "application/json",
            jsonText(nlohmann::json{{"code", code}, {"message", message}}),
            {}};
}

const std::vector<Route>& routes() {
    static const std::vector<Route> list = [] {
        std::vector<Route> out;
        for (const Entry& entry : table()) {
            out.push_back(entry.route);
        }
        return out;
    }();
    return list;
}

Api::Api(std::shared_ptr<service::SigningService> service, std::function<std::string()> origin)
    : service_(std::move(service)), origin_(std::move(origin)) {}

bool Api::answers(std::string_view path) {
    return path.rfind(std::string(kPrefix) + "/", 0) == 0 || path == "/healthz" ||
           path == "/readyz" || path == "/metrics";
}

std::uint64_t Api::bodyLimit(std::string_view path) {
    return path == "/api/v1/documents" ? kMaxDocumentBytes : kMaxJsonBytes;
}

std::shared_ptr<void> Api::admitUpload() {
    if (uploads_.fetch_add(1) >= kMaxConcurrentUploads) {
        uploads_.fetch_sub(1);
        return nullptr;
    }
    return std::shared_ptr<void>(static_cast<void*>(this),
                                 [this](void*) { uploads_.fetch_sub(1); });
}

namespace {

/// The entry `request` is for, with the ids its path names; null when none. `pathKnown`
/// tells a path with other methods from an unknown one.
const Entry* findEntry(const ApiRequest& request, std::vector<std::string>& ids, bool& pathKnown) {
    pathKnown = false;
    for (const Entry& entry : table()) {
        if (matches(std::string(kPrefix) + entry.route.path, request.path, ids)) {
            pathKnown = true;
            if (request.method == entry.route.method) {
                return &entry;
            }
        }
    }
    return nullptr;
}

}  // namespace

ApiResponse Api::handle(const ApiRequest& request) {
    const auto start = std::chrono::steady_clock::now();
    ApiResponse response = route(request);
    // Measured by the route's pattern, never by ids or unknown paths: the series are bounded.
    std::vector<std::string> ids;
    bool pathKnown = false;
    if (const Entry* entry = findEntry(request, ids, pathKnown)) {
        measure(std::string(entry->route.method) + " " + entry->route.path, response.status,
                std::chrono::steady_clock::now() - start);
    }
    return response;
}

Result<std::string> Api::client(const ApiRequest& request, ApiResponse& refused) {
    // "Authorization: Bearer pwk_...".
    constexpr std::string_view kBearer = "Bearer ";
    if (request.authorization.rfind(kBearer, 0) != 0) {
        refused = refusal(401, "unauthorized", "send Authorization: Bearer API_KEY");
        refused.headers.emplace_back("WWW-Authenticate", "Bearer");
        return Failure("", 0, "");
    }
    auto name = service_->authenticate(request.authorization.substr(kBearer.size()));
    if (!name) {
        refused = name.error().code == static_cast<std::int64_t>(service::ServiceCode::forbidden)
                      ? refusal(401, "unauthorized", "the API key is unknown or revoked")
                      : refusalOf(name.error());
        refused.headers.emplace_back("WWW-Authenticate", "Bearer error=\"invalid_token\"");
    }
    return name;
}

ApiResponse Api::route(const ApiRequest& request) {
    if (request.path == "/healthz") {
        return {200, "text/plain; charset=utf-8", "ok\n", {}};
    }
    if (request.path == "/readyz") {
        // One read of the database: it answers, or the node is taken out of the balancer.
        auto backlog = service_->store().outboxBacklog();
        return backlog ? ApiResponse{200, "text/plain; charset=utf-8", "ready\n", {}}
                       : refusal(503, "not_ready", "the database does not answer");
    }
    ApiResponse refused;
    if (request.path == "/metrics") {
        if (!client(request, refused)) {
            return refused;
        }
        return request.method == "GET"
                   ? ApiResponse{200, "text/plain; version=0.0.4; charset=utf-8", metrics(), {}}
                   : refusal(405, "method_not_allowed", "GET only");
    }
    std::vector<std::string> ids;
    bool pathKnown = false;
    const Entry* found = findEntry(request, ids, pathKnown);
    if (found == nullptr) {
        return pathKnown ? refusal(405, "method_not_allowed",
                                   request.method + " is not allowed on " + request.path)
                         : refusal(404, "not_found", "no API route " + request.path);
    }
    if (found->handler == nullptr) {
        return {200, "application/json", std::string(openApiDocument()), {}};
    }
    auto name = client(request, refused);
    if (!name) {
        return refused;
    }
    const Call call{*service_, request, ids, origin_()};
    if (request.method != "POST" || request.idempotencyKey.empty()) {
        return found->handler(call);
    }
    if (!validKey(request.idempotencyKey)) {
        return refusal(400, "invalid_idempotency_key",
                       "an Idempotency-Key is 1 to 200 printable ASCII characters");
    }
    // The same key for another route or another body is another request: refused.
    const openssl::Sha256Digest hash =
        openssl::sha256(asBytes(request.method + " " + request.path + "\n" + request.body));
    const auto replay = [](const service::KeptAnswer& kept) {
        const std::size_t space = kept.answer.find(' ');
        return ApiResponse{std::stoi(kept.answer.substr(0, space)),
                           "application/json",
                           kept.answer.substr(space + 1),
                           {{"Idempotent-Replayed", "true"}}};
    };
    auto recalled = service_->store().recallAnswer(*name, request.idempotencyKey, hash);
    if (!recalled) {
        return recalled.error().code == static_cast<std::int64_t>(service::ServiceCode::conflict)
                   ? refusal(409, "idempotency_conflict",
                             "the Idempotency-Key was used with another request")
                   : refusalOf(recalled.error());
    }
    if (*recalled) {
        return replay(**recalled);
    }
    ApiResponse response = found->handler(call);
    if (response.status != found->success) {
        return response;  // a refusal is not kept: the client may mend the cause and retry
    }
    auto kept = service_->store().keepAnswer(*name, request.idempotencyKey, hash,
                                             std::to_string(response.status) + " " + response.body,
                                             service::systemClock()());
    if (!kept) {
        return refusalOf(kept.error());
    }
    // Two retries that raced: both answer the first one kept.
    return kept->answer == std::to_string(response.status) + " " + response.body ? response
                                                                                 : replay(*kept);
}

void Api::measure(const std::string& route, int status, std::chrono::steady_clock::duration took) {
    std::lock_guard lock(metricsMutex_);
    auto it = std::find_if(measured_.begin(), measured_.end(), [&](const Measured& m) {
        return m.route == route && m.status == status;
    });
    if (it == measured_.end()) {
        // Unknown paths are measured by their path: bounded, so a scan cannot grow the table.
        if (measured_.size() >= 200) {
            return;
        }
        it = measured_.insert(measured_.end(), Measured{route, status, 0, 0});
    }
    ++it->count;
    it->seconds += std::chrono::duration<double>(took).count();
}

std::string Api::metrics() {
    std::string out;
    auto backlog = service_->store().outboxBacklog();
    out +=
        "# HELP penwell_webhook_backlog Webhook events waiting for delivery.\n"
        "# TYPE penwell_webhook_backlog gauge\n";
    out += "penwell_webhook_backlog " + std::to_string(backlog ? *backlog : -1) + "\n";
    // Every state is listed, 0 when none, so that a dashboard's series never disappear.
    auto counts = service_->store().requestCounts();
    out +=
        "# HELP penwell_requests Signing requests by state.\n"
        "# TYPE penwell_requests gauge\n";
    for (int i = 0; i < 5; ++i) {
        const auto state = static_cast<service::RequestState>(i);
        const std::int64_t count =
            counts ? (*counts)[static_cast<std::size_t>(i)].second : std::int64_t{-1};
        out += "penwell_requests{state=\"" + std::string(service::nameOf(state)) + "\"} " +
               std::to_string(count) + "\n";
    }
    out +=
        "# HELP penwell_api_request_seconds Time to answer API requests, by route and status.\n"
        "# TYPE penwell_api_request_seconds summary\n";
    std::lock_guard lock(metricsMutex_);
    for (const Measured& m : measured_) {
        const std::size_t space = m.route.find(' ');
        const std::string labels = "{method=\"" + m.route.substr(0, space) + "\",route=\"" +
                                   m.route.substr(space + 1) + "\",status=\"" +
                                   std::to_string(m.status) + "\"}";
        char seconds[64];
        std::snprintf(seconds, sizeof seconds, "%.6f", m.seconds);
        out += "penwell_api_request_seconds_count" + labels + " " + std::to_string(m.count) + "\n";
        out += "penwell_api_request_seconds_sum" + labels + " " + seconds + "\n";
    }
    return out;
}

}  // namespace penwell::web::api
