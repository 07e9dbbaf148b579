#pragma once
// Services for the fuzz harnesses: the tool's, with the demo certificate as the resource and a
// certificate store in memory, so fuzzing never touches the user's store and every session
// starts from an empty one.

#include <memory>

#include "penwell/host/common/HostServices.h"
#include "penwell/platform/Defaults.h"
#include "penwell/platform/Resources.h"

namespace penwell::fuzz {

inline Services services(const headless::HeadlessHost& host,
                         std::shared_ptr<ResourceBundle> resources = nullptr) {
    ServiceOptions options;
    options.resources = PENWELL_DEMO_CERTIFICATE_DIR;
    Services services = host::hostServices(host, options);
    if (resources) {
        services.resources = std::move(resources);
    }
    return services;
}

}  // namespace penwell::fuzz
