#pragma once
// Services for the fuzz harnesses: the default backends on a headless host, the demo
// certificate as the resource and a certificate store in memory, so fuzzing never touches the
// user's store and every session starts from an empty one.

#include <memory>

#include "platform/Defaults.h"
#include "platform/Resources.h"
#include "platform/sqlite/SqliteCertificateStore.h"

namespace penwell::fuzz {

inline Services services(const headless::HeadlessHost& host,
                         std::shared_ptr<ResourceBundle> resources = nullptr) {
    ServiceOptions options;
    options.resources = PENWELL_DEMO_CERTIFICATE_DIR;
    Services services = headlessServices(host, options);
    services.certificateStore = sqlite::SqliteCertificateStore::openInMemory(services.certificates);
    if (resources) {
        services.resources = std::move(resources);
    }
    return services;
}

}  // namespace penwell::fuzz
