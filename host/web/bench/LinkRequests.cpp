#include "penwell/host/web/bench/LinkRequests.h"

#include "penwell/host/web/tests/TestPdf.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"

namespace penwell::web::bench {

namespace {

const service::Actor kActor{"127.0.0.1", "penwell_serve_load"};

}  // namespace

Result<std::unique_ptr<LinkRequests>> LinkRequests::make() {
    std::unique_ptr<LinkRequests> made(new LinkRequests());
    auto store = service::sqlite::SqliteSigningStore::open(made->folder_.path() / "data");
    if (!store) {
        return store.error();
    }
    made->service_ =
        std::make_shared<service::SigningService>(std::move(*store), service::systemClock());
    const std::string pdf = document();
    auto added = made->service_->addDocument(
        ByteView(reinterpret_cast<const std::uint8_t*>(pdf.data()), pdf.size()), 1);
    if (!added) {
        return added.error();
    }
    made->documentId_ = added->id;
    const std::filesystem::path demo = PENWELL_DEMO_CERTIFICATE_DIR;
    for (auto [file, into] : {std::pair{demo / "demo-private-key.pem", &made->identity_.privateKey},
                              std::pair{demo / "Penwell.dat", &made->identity_.certificate}}) {
        auto bytes = filesystem::readFile(file, 1 << 20, "the demo identity");
        if (!bytes) {
            return bytes.error();
        }
        *into = std::move(*bytes);
    }
    return made;
}

Result<std::vector<std::string>> LinkRequests::openLinks(int count) {
    std::vector<std::string> tokens;
    for (int i = 0; i < count; ++i) {
        service::RequestSpec spec;
        spec.documentId = documentId_;
        spec.expiresAt = service_->now() + 3'600'000;
        service::SignerSpec signer;
        signer.name = "Signer " + std::to_string(i + 1);
        signer.placement = R"({"page": 1, "rect": [300, 100, 200, 80]})";
        spec.signers.push_back(signer);
        auto created = service_->createRequest(spec, kActor);
        if (!created) {
            return created.error();
        }
        if (auto opened = service_->openLink(created->linkTokens.front(), kActor); !opened) {
            return opened.error();
        }
        tokens.push_back(created->linkTokens.front());
    }
    return tokens;
}

}  // namespace penwell::web::bench
