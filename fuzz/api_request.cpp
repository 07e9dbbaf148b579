// The body of POST /api/v1/requests, from an integrator's software: read into a request or
// refused with the JSON path at fault. No body may crash, hang or read out of bounds, and a
// refusal is one line.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "penwell/host/web/api/ApiJson.h"

using namespace penwell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const auto spec = web::api::readRequestSpec(body, 1'700'000'000'000);
    if (!spec && spec.error().message.find('\n') != std::string::npos) {
        std::abort();  // a refusal is answered as one line
    }
    return 0;
}
