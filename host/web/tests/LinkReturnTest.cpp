// A request's return URL as a signer's page meets it: the link's status and its page settings
// carry the URL and the request's id (the page adds the outcome and goes there after Done or
// Decline, which the browser test sees), and a request without one carries neither.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "penwell/host/web/tests/ServerFixture.h"
#include "penwell/host/web/tests/ServiceFixture.h"

namespace penwell::web {
namespace {

using namespace servertest;

TEST(LinkReturn, TheLinksStatusCarriesTheReturnUrlAndTheRequest) {
    ServiceInFolder signing;
    const auto back = signing.request("https://portal.example/done?case=7");
    const auto stays = signing.request();
    ServerOptions options;
    options.service = signing.service;
    Running server(options);
    const auto status = [&](const service::CreatedRequest& created, const char* file) {
        const auto answer =
            askHttp(server.port(),
                    request(server.port(), "GET", "/s/" + created.linkTokens[0] + "/" + file));
        EXPECT_TRUE(answer && answer->result_int() == 200) << file;
        return answer ? answer->body() : std::string();
    };
    // With one, the status carries both (links.test.mjs reads it whole); without, neither.
    EXPECT_EQ(
        nlohmann::json::parse(status(stays, "status.json")),
        (nlohmann::json{{"step", "sign"}, {"text", ""}, {"values", nlohmann::json::object()}}));
    // The page reads it from its settings, as it is when the page loads.
    const std::string script = status(back, "config.js");
    EXPECT_NE(script.find(R"("returnUrl":"https://portal.example/done?case=7")"), std::string::npos)
        << script;
    EXPECT_NE(script.find(R"("request":")" + back.request.id + "\""), std::string::npos) << script;
}

}  // namespace
}  // namespace penwell::web
