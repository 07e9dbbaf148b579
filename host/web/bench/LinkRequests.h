#pragma once
// Signing links for the load generator's durable mode: a signing service on a store in a
// scratch folder (SQLite in WAL mode with full synchronous commits, as `serve --data` keeps
// it), a one-page document, and for each simulated signer a request of its own with its link
// opened, so that the signer draws on a link's pad, whose every message is committed before
// the page is told it was taken.

#include <memory>
#include <string>
#include <vector>

#include "penwell/bench/ScratchFolder.h"
#include "penwell/platform/Cms.h"
#include "penwell/platform/Result.h"
#include "penwell/service/SigningService.h"

namespace penwell::web::bench {

class LinkRequests {
public:
    /// The store in a new scratch folder and the document; fails naming what could not be
    /// made.
    static Result<std::unique_ptr<LinkRequests>> make();

    std::shared_ptr<service::SigningService> service() const { return service_; }
    /// The operator identity that signs a link's document (the demo certificate's).
    const SigningIdentity& operatorIdentity() const { return identity_; }

    /// `count` new requests of one signer each, their links opened: the tokens. New ones for
    /// every run, as a pad made on a link that has stored messages is rebuilt from them.
    Result<std::vector<std::string>> openLinks(int count);

private:
    LinkRequests() = default;

    penwell::bench::ScratchFolder folder_;
    std::shared_ptr<service::SigningService> service_;
    SigningIdentity identity_;
    std::string documentId_;
};

}  // namespace penwell::web::bench
