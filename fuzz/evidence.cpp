// The evidence reader on hostile bytes: the first byte picks the stage the rest is fed to.
//   0: a decrypted payload (lengths that lie, wrong tags, dates that do not exist, text that
//      is not UTF-8);
//   1: a whole record opened with the demo key, as `penwell open --evidence` does;
//   2: the same under --trust of the demo certificate, so signed records reach the trust check.

#include <cstdint>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "penwell/fuzz/FuzzInput.h"
#include "penwell/receiver/OpenEvidence.h"

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

/// What `penwell open --json` does with the text of a payload; it throws on bytes that are not
/// UTF-8, which a decoded payload must therefore never hold.
void printable(const EvidencePayload& payload) {
    nlohmann::json fields = nlohmann::json::object();
    for (const EvidenceField& field : payload.fields) {
        fields[field.name] = field.value;
    }
    (void)nlohmann::json{{"software", payload.software}, {"fields", fields}}.dump();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    const unsigned stage = in.pick(3);
    const auto rest = in.rest();
    if (stage == 0) {
        const auto payload = receiver::decodeEvidencePayload(rest, "fuzz.payload");
        if (payload) {
            // What decodes must encode back to the same bytes (DER has one form per value),
            // within the same limits.
            const Result<Bytes> again = encodeEvidencePayload(*payload);
            if (!again || *again != Bytes(rest.begin(), rest.end())) {
                __builtin_trap();
            }
            printable(*payload);
        }
    } else if (const auto opened = receiver::openEvidence(rest, options(stage == 2))) {
        printable(opened->payload);
    }
    return 0;
}
