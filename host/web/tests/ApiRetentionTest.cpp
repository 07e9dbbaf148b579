// What the API shows of retention and of requests' states: /metrics counts requests by every
// state, and a purged request's document answers 410 while its record and trail still answer.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "penwell/host/web/api/Api.h"
#include "penwell/service/Retention.h"
#include "service/StoreFixtures.h"

namespace penwell::web::api {
namespace {

using service::kDayMs;
using service::testing::ManualClock;
using service::testing::pdfBytes;

const service::Actor kSigner{"192.0.2.10", "Browser/1"};
const service::Actor kOffice{"198.51.100.1", "backoffice/2"};

class ApiRetention : public ::testing::Test {
public:
    void SetUp() override {
        store = std::shared_ptr<service::SigningStore>(service::testing::openStore(dir.path()));
        service = std::make_shared<service::SigningService>(store, clock.clock(), 1000);
        api = std::make_unique<Api>(service, [] { return std::string("http://127.0.0.1:8080"); });
        key = service->createApiKey("ops").value();
    }

    ApiResponse call(const std::string& method, const std::string& path) {
        ApiRequest request;
        request.method = method;
        request.path = path;
        request.authorization = "Bearer " + key;
        return api->handle(request);
    }

    /// A one-signer request on a document of its own; `signedPdf` set: signed with it.
    service::CreatedRequest request(std::uint8_t seed, const Bytes* signedPdf = nullptr,
                                    service::TimeMs validFor = 30 * kDayMs) {
        auto document = service->addDocument(pdfBytes(3'000, seed), 1);
        EXPECT_TRUE(document);
        auto created = service->createRequest(
            {document->id, {{"Ann Example", "", "{}", "", "", ""}}, *clock.now + validFor, "",
             "{}"},
            kOffice);
        EXPECT_TRUE(created);
        if (signedPdf != nullptr) {
            const std::string& token = created->linkTokens[0];
            EXPECT_TRUE(service->openLink(token, kSigner));
            EXPECT_TRUE(service->showDocument(token, kSigner));
            EXPECT_FALSE(service->appendSamples(token, 1, Bytes{1, 2, 3}));
            EXPECT_TRUE(service->sign(token, *signedPdf, kSigner));
        }
        return std::move(*created);
    }

    /// The lines of the penwell_requests family, in the order served.
    std::vector<std::string> requestLines() {
        const ApiResponse metrics = call("GET", "/metrics");
        EXPECT_EQ(metrics.status, 200);
        std::vector<std::string> lines;
        std::istringstream in(metrics.body);
        for (std::string line; std::getline(in, line);) {
            if (line.find("penwell_requests") != std::string::npos) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    test::TempDir dir;
    ManualClock clock;
    std::shared_ptr<service::SigningStore> store;
    std::shared_ptr<service::SigningService> service;
    std::unique_ptr<Api> api;
    std::string key;
};

TEST_F(ApiRetention, MetricsCountRequestsByEveryState) {
    const std::vector<std::string> header{
        "# HELP penwell_requests Signing requests by state.",
        "# TYPE penwell_requests gauge",
    };
    std::vector<std::string> expected = header;
    for (const char* state : {"pending", "completed", "declined", "expired", "cancelled"}) {
        expected.push_back("penwell_requests{state=\"" + std::string(state) + "\"} 0");
    }
    EXPECT_EQ(requestLines(), expected) << "every state is listed before any request exists";

    // A different count in each state, so that a label put on another state's count shows.
    const Bytes signedPdf = pdfBytes(3'500, 99);
    request(1, &signedPdf);
    for (std::uint8_t i = 0; i < 2; ++i) {
        const auto created = request(10 + i);
        ASSERT_TRUE(service->openLink(created.linkTokens[0], kSigner));
        ASSERT_TRUE(service->decline(created.linkTokens[0], "No", kSigner));
    }
    for (std::uint8_t i = 0; i < 3; ++i) {
        request(20 + i, nullptr, kDayMs);
    }
    for (std::uint8_t i = 0; i < 4; ++i) {
        const auto created = request(30 + i);
        EXPECT_EQ(call("POST", "/api/v1/requests/" + created.request.id + "/cancel").status, 200);
    }
    for (std::uint8_t i = 0; i < 5; ++i) {
        request(40 + i);
    }
    clock.advance(kDayMs);
    ASSERT_EQ(service->expireDue(100).value(), 3);
    EXPECT_EQ(requestLines(), (std::vector<std::string>{
                                  header[0],
                                  header[1],
                                  "penwell_requests{state=\"pending\"} 5",
                                  "penwell_requests{state=\"completed\"} 1",
                                  "penwell_requests{state=\"declined\"} 2",
                                  "penwell_requests{state=\"expired\"} 3",
                                  "penwell_requests{state=\"cancelled\"} 4",
                              }));
}

TEST_F(ApiRetention, APurgedRequestsDocumentIsGoneAndItsRecordStays) {
    const Bytes oldPdf = pdfBytes(3'500, 51);
    const Bytes recentPdf = pdfBytes(3'600, 52);
    const std::string old = request(1, &oldPdf).request.id;
    clock.advance(5 * kDayMs);
    const std::string recent = request(2, &recentPdf).request.id;
    clock.advance(2 * kDayMs);
    service::RetentionSettings settings;
    settings.keepFor = 7 * kDayMs;
    auto swept = service::sweep(*service, settings);
    ASSERT_TRUE(swept);
    ASSERT_EQ(swept->purged, 1);

    const ApiResponse gone = call("GET", "/api/v1/requests/" + old + "/document");
    EXPECT_EQ(gone.status, 410);
    EXPECT_EQ(gone.contentType, "application/json");
    EXPECT_EQ(nlohmann::json::parse(gone.body),
              (nlohmann::json{{"code", "purged"},
                              {"message", "the documents of request " + old +
                                              " were deleted after the retention period"}}));

    const ApiResponse kept = call("GET", "/api/v1/requests/" + recent + "/document");
    EXPECT_EQ(kept.status, 200);
    EXPECT_EQ(kept.body, std::string(recentPdf.begin(), recentPdf.end()));

    const ApiResponse record = call("GET", "/api/v1/requests/" + old);
    EXPECT_EQ(record.status, 200);
    EXPECT_EQ(nlohmann::json::parse(record.body).at("state"), "completed");
    const ApiResponse audit = call("GET", "/api/v1/requests/" + old + "/audit");
    ASSERT_EQ(audit.status, 200);
    const nlohmann::json trail = nlohmann::json::parse(audit.body);
    EXPECT_EQ(trail.at("events").back().at("type"), "request.purged");
    EXPECT_EQ(trail.at("events").back().at("detail"),
              "deleted 1 sample message, 1 revision file and the upload");
    EXPECT_EQ(call("GET", "/api/v1/requests/req_nothere/document").status, 404);
}

}  // namespace
}  // namespace penwell::web::api
