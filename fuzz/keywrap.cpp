// Certificate resource bytes through the key wrap: whatever ships as Penwell.dat (truncated,
// foreign, another key type, trailing bytes, no certificate at all) must give a wrapped key for
// the pinned certificate only, nil otherwise, and never crash.

#include <cstdint>
#include <filesystem>
#include <memory>

#include "penwell/capture/Penwell.h"
#include "penwell/fuzz/FuzzInput.h"
#include "penwell/fuzz/FuzzServices.h"

using namespace penwell;

namespace {

/// A resource folder whose Penwell.dat holds the given bytes.
class BytesBundle final : public ResourceBundle {
public:
    explicit BytesBundle(Bytes bytes) : bytes_(std::move(bytes)) {}

    std::optional<std::filesystem::path> pathForResource(std::string_view name,
                                                         std::string_view type) const override {
        if (name == "Penwell" && type == "dat") {
            return std::filesystem::path("fuzz/Penwell.dat");
        }
        return std::nullopt;
    }

    std::optional<Bytes> contentsOfFile(const std::filesystem::path&) const override {
        return bytes_;
    }

private:
    Bytes bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    headless::HeadlessHost host;
    auto resource = std::make_shared<BytesBundle>(Bytes(data, data + size));
    PenwellViewController controller(fuzz::services(host, resource));
    const Bytes key(32, 0x5a);
    // Twice: the first wrap installs what it accepts, the second finds it in the store.
    (void)controller.wrapAESKey(key);
    (void)controller.wrapAESKey(key);
    return 0;
}
