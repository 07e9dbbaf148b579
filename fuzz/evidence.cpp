// The evidence reader on hostile bytes: the first byte picks the stage the rest is fed to.
//   0: a decrypted payload (lengths that lie, wrong tags, dates that do not exist);
//   1: a whole record opened with the demo key, as `penwell open --evidence` does;
//   2: the same under --trust of the demo certificate, so signed records reach the trust check.

#include <cstdint>
#include <fstream>
#include <iterator>

#include "fuzz/FuzzInput.h"
#include "receiver/Evidence.h"

using namespace penwell;

namespace {

Bytes fileBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

const receiver::OpenOptions& options(bool trusting) {
    static const receiver::OpenOptions plain = [] {
        receiver::OpenOptions o;
        o.privateKey = fileBytes(PENWELL_DEMO_CERTIFICATE_DIR "/demo-private-key.pem");
        return o;
    }();
    static const receiver::OpenOptions trusted = [] {
        receiver::OpenOptions o = plain;
        o.trusted = {fileBytes(PENWELL_DEMO_CERTIFICATE_DIR "/Penwell.dat")};
        return o;
    }();
    return trusting ? trusted : plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    const unsigned stage = in.pick(3);
    const auto rest = in.rest();
    if (stage == 0) {
        const auto payload = receiver::decodeEvidencePayload(rest, "fuzz.payload");
        // What decodes must encode back to the same bytes: DER has one form per value.
        if (payload && encodeEvidencePayload(*payload) != Bytes(rest.begin(), rest.end())) {
            __builtin_trap();
        }
    } else {
        (void)receiver::openEvidence(rest, options(stage == 2));
    }
    return 0;
}
