// The API's routes against its OpenAPI document, both ways: a route the document does not
// describe, or a path it promises that the server does not answer, fails here.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "penwell/host/web/api/Api.h"
#include "penwell/host/web/api/ApiHandlers.h"

namespace penwell::web::api {
namespace {

TEST(ApiRoutes, AreExactlyThePathsAndMethodsTheDocumentDescribes) {
    const nlohmann::json document = nlohmann::json::parse(openApiDocument());
    std::set<std::string> described;
    for (const auto& [path, operations] : document.at("paths").items()) {
        for (const auto& [method, operation] : operations.items()) {
            std::string upper = method;
            for (char& c : upper) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            described.insert(upper + " " + path);
        }
    }
    std::set<std::string> served;
    for (const Route& route : routes()) {
        served.insert(std::string(route.method) + " " + route.path);
    }
    EXPECT_EQ(served, described);
    EXPECT_EQ(document.at("servers").at(0).at("url"), "/api/v1");
}

TEST(ApiRoutes, AServiceFailureIsAnsweredWithoutTheServersFiles) {
    const struct {
        service::ServiceCode code;
        int status;
        const char* name;
        const char* message;
    } cases[] = {
        {service::ServiceCode::notFound, 404, "not_found", "no request req_1"},
        {service::ServiceCode::conflict, 409, "conflict", "no request req_1"},
        {service::ServiceCode::invalid, 400, "invalid_request", "no request req_1"},
        {service::ServiceCode::forbidden, 403, "forbidden", "no request req_1"},
        // Storage failures say nothing of the disk to a client: the log has them.
        {service::ServiceCode::storage, 500, "storage",
         "the service could not use its storage; see its log"},
    };
    for (const auto& c : cases) {
        const Failure failure =
            Failure::at(service::kServiceDomain, static_cast<std::int64_t>(c.code),
                        "/srv/penwell/penwell.sqlite", "no request req_1");
        const ApiResponse answer = refusalOf(failure);
        EXPECT_EQ(answer.status, c.status);
        EXPECT_EQ(nlohmann::json::parse(answer.body),
                  (nlohmann::json{{"code", c.name}, {"message", c.message}}));
    }
}

}  // namespace
}  // namespace penwell::web::api
