#include "host/common/HostServices.h"

#include <cstdlib>
#include <system_error>

#include "platform/filesystem/DirectoryBundle.h"

namespace penwell::host {

std::filesystem::path installedResourceFolder() {
    if (const char* fromEnvironment = std::getenv("PENWELL_RESOURCES");
        fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const auto installed = program.parent_path().parent_path() / "share" / "penwell";
        if (std::filesystem::is_directory(installed, ec)) {
            return installed;
        }
    }
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
