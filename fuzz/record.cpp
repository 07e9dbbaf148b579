// The receiver on hostile files: the first byte picks the stage the rest is fed to.
//   0: a decrypted point-stream record (counts that lie, overflow or run past the end), which
//      must also survive being restored and recorded again unchanged;
//   1: a 48-byte key blob, then ciphertext, decrypted and decoded;
//   2: a wrapped key of the demo key's size, then ciphertext: unwrapped with the demo private
//      key, decrypted and decoded, as `penwell open` does.

#include <cstdint>
#include <string>

#include "penwell/fuzz/FuzzInput.h"
#include "penwell/receiver/OpenSignature.h"
#include "penwell/receiver/Record.h"
#include "penwell/secure/StrokeRecord.h"

using namespace penwell;
using namespace penwell::receiver;

namespace {

const PrivateKey& demoKey() {
    static const PrivateKey key =
        PrivateKey::fromFile(
            std::filesystem::path(PENWELL_DEMO_CERTIFICATE_DIR "/demo-private-key.pem"))
            .value();
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::FuzzInput in(data, size);
    // A refusal (a failure value) is the expected answer to a bad file.
    switch (in.pick(3)) {
        case 0: {
            const auto rest = in.rest();
            const Result<PointRecord> record = decodeRecord(rest, "fuzz.data");
            if (record && recordOf(strokesOf(*record)) != *record) {
                __builtin_trap();  // a restored signature would record other values
            }
            break;
        }
        case 1: {
            const auto blob = in.bytes(kKeyBlobSize);
            if (const Result<Bytes> plain = decryptRecord(blob, in.rest(), "fuzz.data")) {
                (void)decodeRecord(*plain, "fuzz.data");
            }
            break;
        }
        default: {
            const auto wrapped = in.bytes(static_cast<std::size_t>(demoKey().bits() / 8));
            if (const Result<Bytes> blob = demoKey().unwrapKeyBlob(wrapped, "fuzz.key")) {
                if (const Result<Bytes> plain = decryptRecord(*blob, in.rest(), "fuzz.data")) {
                    (void)decodeRecord(*plain, "fuzz.data");
                }
            }
        }
    }
    return 0;
}
