#pragma once
// The signing service's HTTP API (`serve --data`): JSON under /api/v1/, authenticated with an
// API key as a bearer token, and the health and metrics paths of an operator. Inside the
// server (not installed); HTTP itself is HttpRoutes' job: this part sees a request already
// read within its limits and answers a status, a type and a body.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "penwell/service/SigningService.h"

namespace penwell::web::api {

/// The largest document upload; a larger Content-Length is refused before its body is read.
inline constexpr std::uint64_t kMaxDocumentBytes = 256ull << 20;
/// The largest body of any other API request (a request's signers and metadata).
inline constexpr std::uint64_t kMaxJsonBytes = 64 * 1024;
/// Document uploads read at once: each holds its body in memory while it is checked.
inline constexpr int kMaxConcurrentUploads = 2;

struct ApiRequest {
    std::string method;  ///< "GET", "POST", ...
    std::string path;    ///< without the query
    std::string query;   ///< after '?', undecoded
    std::string authorization;
    std::string contentType;
    std::string idempotencyKey;
    std::string body;
    std::string address;  ///< the client's, for the audit trail
    std::string userAgent;
};

struct ApiResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

/// JSON as the API answers it: compact, bytes that are not UTF-8 replaced.
std::string jsonText(const nlohmann::json& value);

/// A refusal: {"code": "...", "message": "one line"} with its status.
ApiResponse refusal(int status, std::string_view code, std::string_view message);

/// One route: a method and a path whose "{id}" segments match any one segment.
struct Route {
    const char* method;
    const char* path;  ///< as the OpenAPI document names it, under /api/v1
};
/// Every route the API answers (the OpenAPI document must list exactly these).
const std::vector<Route>& routes();

/// The OpenAPI document, embedded when the program is built.
std::string_view openApiDocument();

class Api {
public:
    /// `origin` answers the origin signing links are made under ("https://sign.example.com").
    Api(std::shared_ptr<service::SigningService> service, std::function<std::string()> origin);

    /// Whether `path` is one this part answers: under /api/v1/, /healthz, /readyz, /metrics.
    static bool answers(std::string_view path);
    /// The most body bytes a request may carry to `path`.
    static std::uint64_t bodyLimit(std::string_view path);
    /// A place for one document upload's body, or nothing while kMaxConcurrentUploads are
    /// read: the upload holds it until answered.
    std::shared_ptr<void> admitUpload();

    ApiResponse handle(const ApiRequest& request);

private:
    ApiResponse route(const ApiRequest& request);
    /// The name of the API key the request presents; a failure with `refused` set otherwise.
    Result<std::string> client(const ApiRequest& request, ApiResponse& refused);
    void measure(const std::string& route, int status, std::chrono::steady_clock::duration took);
    std::string metrics();

    std::shared_ptr<service::SigningService> service_;
    std::function<std::string()> origin_;
    std::atomic<int> uploads_{0};

    struct Measured {
        std::string route;
        int status = 0;
        std::uint64_t count = 0;
        double seconds = 0;
    };
    std::mutex metricsMutex_;
    std::vector<Measured> measured_;
};

}  // namespace penwell::web::api
