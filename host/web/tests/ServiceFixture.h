#pragma once
// A signing service on a store in a fresh folder, for a server in the test's process, and a
// one-signer request on a stand-in document (the store never parses it).

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "penwell/service/SigningService.h"
#include "service/StoreFixtures.h"

namespace penwell::web::servertest {

struct ServiceInFolder {
    ServiceInFolder()
        : store(service::testing::openStore(dir.path())),
          service(std::make_shared<service::SigningService>(store, service::systemClock())) {}

    /// A request for Ann Example valid for an hour, created from 198.51.100.1.
    service::CreatedRequest request(const std::string& returnUrl = {}) {
        const auto document = service->addDocument(service::testing::pdfBytes(2'000), 1);
        EXPECT_TRUE(document);
        service::RequestSpec spec{document->id,
                                  {{"Ann Example", "", "{}", "", "", ""}},
                                  service->now() + 3'600'000,
                                  "",
                                  "{}",
                                  returnUrl};
        auto created = service->createRequest(spec, {"198.51.100.1", "backoffice/1"});
        EXPECT_TRUE(created);
        return std::move(*created);
    }

    test::TempDir dir;
    std::shared_ptr<service::SigningStore> store;
    std::shared_ptr<service::SigningService> service;
};

}  // namespace penwell::web::servertest
