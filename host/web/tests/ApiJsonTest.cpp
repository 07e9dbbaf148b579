// The API's reading of a new request, below HTTP: what it takes, and which fault it names when
// a body has several (the API's end-to-end tests, api/tests/, name one fault at a time).

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "penwell/host/web/api/ApiJson.h"

namespace penwell::web::api {
namespace {

constexpr service::TimeMs kNow = 1'700'000'000'000;

TEST(ApiJson, ReadsARequestWithEveryField) {
    const Result<service::RequestSpec> spec = readRequestSpec(
        R"({"document": "doc_1", "expiresIn": 60, "webhook": "https://hooks.example/x",
            "metadata": {"case": 7},
            "signers": [{"name": "Ann", "place": {"field": "Sig1"}, "accessCode": "1234"},
                        {"name": "Bo", "email": "bo@example.org",
                         "place": {"page": 2, "rect": [10, 20.5, 200, 80]}}]})",
        kNow);
    ASSERT_TRUE(spec) << spec.error().message;
    EXPECT_EQ(spec->documentId, "doc_1");
    EXPECT_EQ(spec->expiresAt, kNow + 60'000);
    EXPECT_EQ(spec->webhookUrl, "https://hooks.example/x");
    EXPECT_EQ(spec->metadata, R"({"case":7})");
    ASSERT_EQ(spec->signers.size(), 2u);
    EXPECT_EQ(spec->signers[0].placement, R"({"field":"Sig1"})");
    EXPECT_EQ(spec->signers[0].accessCode, "1234");
    EXPECT_EQ(spec->signers[1].placement, R"({"page":2,"rect":[10.0,20.5,200.0,80.0]})");
    EXPECT_EQ(spec->signers[1].email, "bo@example.org");
}

// Several faults in one body: the first the reader meets is the answer, whole, and what
// follows it is never acted on (a rect that is a string, signers that are not a list).
TEST(ApiJson, TheFirstFaultIsTheAnswerWhateverFollowsIt) {
    const std::pair<std::string, std::string> cases[] = {
        {R"({"document": 7, "signers": "abc", "expiresIn": 0})", "document: expected a string"},
        {R"({"document": "d", "signers": [{"name": "A", "place": {"page": 1, "rect": "abcd"}},
                                          {"name": 5}], "expiresIn": 0})",
         "signers[0].place.rect: expected [x, y, width, height] in points"},
        {R"({"document": "d", "signers": [{"name": "A", "place": {"page": 0, "rect": "abcd"}}]})",
         "signers[0].place.page: expected an integer from 1 to 1000000, got 0"},
        {R"({"document": "d", "signers": [{"name": "A", "place": {"page": 1,
                                                                   "rect": [0, 0, 0, "x"]}}]})",
         "signers[0].place.rect[2]: expected a number from 1 to 14400, got 0"},
        {R"({"document": "d", "signers": [{"name": "A", "place": {"field": "F", "page": 1}},
                                          7], "expiresIn": "x"})",
         "signers[0].place: give either \"field\" or \"page\" with \"rect\", not both"},
        {R"({"document": "d", "signers": [{"place": 3, "accessCode": ""}]})",
         "signers[0].name: missing"},
        {R"({"document": "d", "signers": [{"name": "A", "place": {"field": ""}}, 7],
             "webhook": "ftp://x"})",
         "signers[0].place.field: an empty field name"},
        {R"({"document": "d", "signers": [{"name": "A", "place": {"field": "F"}}],
             "webhook": 5, "metadata": [1]})",
         "give one of \"expiresAt\" (ms since 1970, UTC) and \"expiresIn\" (seconds from now)"},
        {R"({"document": "d", "signers": [{"name": "A", "place": {"field": "F"}}],
             "expiresIn": 60, "webhook": 5, "metadata": [1]})",
         "webhook: expected a string"},
    };
    for (const auto& [body, message] : cases) {
        const Result<service::RequestSpec> spec = readRequestSpec(body, kNow);
        ASSERT_FALSE(spec) << body;
        EXPECT_EQ(spec.error().message, message) << body;
    }
}

// Where a signer's browser is sent after Done or Decline: a page the integrator serves over
// TLS, or one on the signer's own machine, and never anything a browser would read otherwise.
TEST(ApiJson, AReturnUrlIsHttpsOrHttpToThisMachine) {
    const std::string refused =
        "returnUrl: expected an https:// URL (http:// only to localhost) of at most 2048 bytes";
    const struct {
        std::string url;
        std::string fault;  // "": taken as given; ending in ": " libcurl's reason follows
    } cases[] = {
        {"https://portal.example/done?case=7#top", ""},
        {"HTTPS://portal.example/", ""},
        {"https://[2001:db8::1]:8443/back", ""},
        {"http://127.0.0.1:3000/back", ""},
        {"http://127.9.0.1/back", ""},
        {"http://localhost/back", ""},
        {"http://[::1]:8080/", ""},
        {"https://portal.example/" + std::string(2048 - 23, 'a'), ""},
        {"https://portal.example/" + std::string(2048 - 22, 'a'), refused},
        {"http://portal.example/done", refused},
        {"http://128.0.0.1/", refused},
        {"http://[::2]/", refused},
        {"http://localhost.example/", refused},
        {"javascript:alert(1)", refused + ": "},
        {"ftp://portal.example/", refused + ": not an http:// or https:// URL"},
        {"/relative/path", refused + ": "},
        {"https://portal.example/a b", refused + ": white space or a control character in the URL"},
        {"https://portal.example/\r\nSet-Cookie:x",
         refused + ": white space or a control character in the URL"},
    };
    for (const auto& c : cases) {
        const nlohmann::json body = {{"document", "doc_1"},
                                     {"expiresIn", 60},
                                     {"returnUrl", c.url},
                                     {"signers", {{{"name", "Ann"}, {"place", {{"field", "F"}}}}}}};
        const Result<service::RequestSpec> spec = readRequestSpec(body.dump(), kNow);
        if (c.fault.empty()) {
            ASSERT_TRUE(spec) << c.url << ": " << spec.error().message;
            EXPECT_EQ(spec->returnUrl, c.url);
        } else {
            ASSERT_FALSE(spec) << c.url;
            const std::string& message = spec.error().message;
            if (c.fault.ends_with(": ")) {
                EXPECT_TRUE(message.starts_with(c.fault) && message.size() > c.fault.size())
                    << c.url << ": " << message;
            } else {
                EXPECT_EQ(message, c.fault) << c.url;
            }
        }
    }
}

}  // namespace
}  // namespace penwell::web::api
