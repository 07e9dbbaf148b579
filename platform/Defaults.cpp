#include "penwell/platform/Defaults.h"

#include <algorithm>

#include "penwell/platform/cairo/CairoGraphics.h"
#include "penwell/platform/filesystem/DirectoryBundle.h"
#include "penwell/platform/libuuid/LibUuid.h"
#include "penwell/platform/openssl/OpenSslCertificates.h"
#include "penwell/platform/openssl/OpenSslCms.h"
#include "penwell/platform/openssl/OpenSslCrypto.h"
#include "penwell/platform/sqlite/SqliteCertificateStore.h"

namespace penwell {

namespace {

/// Picks the store file at its first use: constructing a controller must not create files or
/// read the environment's choice of store before it is needed.
class StoreOpenedOnFirstUse final : public CertificateStore {
public:
    StoreOpenedOnFirstUse(std::optional<std::filesystem::path> file,
                          std::shared_ptr<const CertificateServices> certificates)
        : file_(std::move(file)), certificates_(std::move(certificates)) {}

    CopyMatchingResult copyMatching(ItemClass itemClass, std::string_view label) const override {
        if (CertificateStore* store = opened()) {
            return store->copyMatching(itemClass, label);
        }
        return {errSecIO, nullptr};
    }

    AddResult add(const Certificate& certificate) override {
        if (CertificateStore* store = opened()) {
            return store->add(certificate);
        }
        return {errSecIO, {}};
    }

    std::optional<StoreFailure> lastFailure() const override {
        if (CertificateStore* store = opened()) {
            return store->lastFailure();
        }
        return StoreFailure{"the certificate store",
                            "no file for it: neither XDG_DATA_HOME nor HOME is set"};
    }

private:
    CertificateStore* opened() const {
        if (!store_) {
            const auto file = file_ ? file_ : sqlite::SqliteCertificateStore::defaultPath();
            if (file) {
                store_ = sqlite::SqliteCertificateStore::openOnFirstUse(*file, certificates_);
            }
        }
        return store_.get();
    }

    std::optional<std::filesystem::path> file_;
    std::shared_ptr<const CertificateServices> certificates_;
    mutable std::shared_ptr<CertificateStore> store_;
};

}  // namespace

Services headlessServices(const headless::HeadlessHost& host, const ServiceOptions& options) {
    Services services;
    services.graphics = cairo::makeGraphics();
    services.application = host.application;
    services.device = host.device;
    services.runLoop = host.runLoop;
    services.crypto = openssl::makeCrypto();
    services.cms = openssl::makeCms();
    services.certificates = openssl::makeCertificateServices();
    if (!options.certificateStore && options.memoryStore) {
        services.certificateStore =
            sqlite::SqliteCertificateStore::openInMemory(services.certificates);
    } else {
        services.certificateStore = std::make_shared<StoreOpenedOnFirstUse>(
            options.certificateStore, services.certificates);
    }
    services.resources = options.resources
                             ? std::make_shared<filesystem::DirectoryBundle>(*options.resources)
                             : filesystem::makeDefaultBundle();
    services.uuids = libuuid::makeUuidGenerator();
    return services;
}

Image renderView(Graphics& graphics, const ImageView& view) {
    const Rect bounds = view.bounds();
    auto context = graphics.beginImageContext(bounds.size);
    if (!context) {
        return Image();  // a view too large for a bitmap shows nothing
    }
    if (const auto& color = view.backgroundColor()) {
        context->drawImage(Image::filledWith(*color), bounds);
    }
    if (const auto& image = view.image()) {
        context->drawImage(*image, bounds);
    }
    return context->makeImage();
}

}  // namespace penwell
