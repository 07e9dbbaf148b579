// penwell serve keys: the signing service's API keys, made, listed and revoked in its folder.

#include <ctime>

#include "penwell/service/SigningService.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

namespace {

/// "2026-12-08T10:15:00Z".
std::string utc(service::TimeMs ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

/// A name the store refuses as malformed is the command line's fault.
int exitFor(const Failure& failure) {
    return failure.code == static_cast<std::int64_t>(service::ServiceCode::invalid) ? kExitUsage
                                                                                    : kExitFailure;
}

}  // namespace

int runServeKeys(const ServeKeysOptions& options, std::ostream& out) {
    auto store = std::shared_ptr<service::SigningStore>(
        must(service::sqlite::SqliteSigningStore::open(options.data)));
    service::SigningService service(store, service::systemClock());
    switch (options.action) {
        case ServeKeysOptions::Action::add: {
            auto key = service.createApiKey(options.name);
            if (!key) {
                throw ToolError(key.error().message, exitFor(key.error()));
            }
            // The key alone on its line, so that a script can take it; it is not shown again.
            out << *key << std::endl;
            return 0;
        }
        case ServeKeysOptions::Action::list:
            for (const service::ApiKey& key : must(store->apiKeys())) {
                out << key.name << "\tcreated " << utc(key.createdAt);
                if (key.revokedAt) {
                    out << "\trevoked " << utc(*key.revokedAt);
                }
                out << '\n';
            }
            return 0;
        case ServeKeysOptions::Action::revoke:
            must(store->revokeApiKey(options.name, service::systemClock()()));
            out << "revoked " << options.name << std::endl;
            return 0;
    }
    return kExitUsage;
}

}  // namespace penwell::tools
