#include "tools/ToolServices.h"

#include "platform/sqlite/SqliteCertificateStore.h"

namespace penwell::tools {

Services toolServices(const headless::HeadlessHost& host, const ServiceOptions& options) {
    Services services = headlessServices(host, options);
    if (!options.certificateStore) {
        services.certificateStore =
            sqlite::SqliteCertificateStore::openInMemory(services.certificates);
    }
    return services;
}

}  // namespace penwell::tools
