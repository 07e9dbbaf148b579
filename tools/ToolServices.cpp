#include "tools/ToolServices.h"

#include <cstdlib>
#include <system_error>

#include "platform/filesystem/DirectoryBundle.h"
#include "platform/sqlite/SqliteCertificateStore.h"

namespace penwell::tools {

std::filesystem::path toolResourceFolder() {
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

Services toolServices(const headless::HeadlessHost& host, const ServiceOptions& given) {
    ServiceOptions options = given;
    if (!options.resources) {
        options.resources = toolResourceFolder();
    }
    Services services = headlessServices(host, options);
    if (!options.certificateStore) {
        services.certificateStore =
            sqlite::SqliteCertificateStore::openInMemory(services.certificates);
    }
    return services;
}

}  // namespace penwell::tools
