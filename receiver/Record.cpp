#include "penwell/receiver/Record.h"

#include <algorithm>

#include "penwell/receiver/OpenSignature.h"

namespace penwell::receiver {

Result<PointRecord> decodeRecord(ByteView bytes, const std::string& name) {
    Result<PointRecord> record = decodePointStream(bytes, name);
    if (!record) {
        return signatureFailure(SignatureError::corrupt, record.error().message);
    }
    return record;
}

std::uint64_t writingMilliseconds(const PointRecord& record) {
    std::uint64_t total = 0;
    for (const RecordStroke& stroke : record) {
        std::uint32_t last = 0;
        for (const RecordSample& s : stroke) {
            last = std::max(last, s.t);
        }
        total += last;
    }
    return total;
}

}  // namespace penwell::receiver
