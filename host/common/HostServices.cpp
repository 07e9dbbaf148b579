#include "penwell/host/common/HostServices.h"

#include "penwell/platform/filesystem/DirectoryBundle.h"

namespace penwell::host {

std::filesystem::path installedResourceFolder() {
    return filesystem::DirectoryBundle::defaultFolder();
}

Services hostServices(const headless::HeadlessHost& host, const ServiceOptions& given) {
    ServiceOptions options = given;
    if (!options.resources) {
        options.resources = installedResourceFolder();
    }
    options.memoryStore = true;
    return headlessServices(host, options);
}

}  // namespace penwell::host
