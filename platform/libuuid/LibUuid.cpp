#include "penwell/platform/libuuid/LibUuid.h"

#include <uuid/uuid.h>

#include "penwell/platform/Bytes.h"

namespace penwell::libuuid {

namespace {

class LibUuidGenerator final : public UuidGenerator {
public:
    std::string createString() const override {
        uuid_t uuid;
        // uuid_generate_random reads the kernel's random source, so the text cannot be
        // predicted: it serves as a one-time password.
        uuid_generate_random(uuid);
        char text[37];
        uuid_unparse_upper(uuid, text);
        std::string result(text, 36);
        secureWipe(uuid, sizeof uuid);
        secureWipe(text, sizeof text);
        return result;
    }
};

}  // namespace

std::shared_ptr<UuidGenerator> makeUuidGenerator() {
    return std::make_shared<LibUuidGenerator>();
}

}  // namespace penwell::libuuid
