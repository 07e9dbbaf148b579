#pragma once
// The decrypted point stream as the receiver reads it. The format, its encoder and its
// decoder are format/PointStream.h; this names them for a receiver's code and answers a bad
// stream in the receiver's own domain. Turning a record into strokes to draw is the add-on
// receiver/draw/RestoredRecord.h.

#include <cstdint>
#include <string>

#include "penwell/format/PointStream.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell::receiver {

using penwell::kCountSize;
using penwell::kSampleSize;
using penwell::PointRecord;
using penwell::RecordSample;
using penwell::RecordStroke;
using penwell::sampleCount;
using penwell::signedField;

/// Parses a whole record. Fails with decodePointStream's one line (prefixed with `name`), in
/// domain kSignatureErrorDomain, code SignatureError::corrupt.
Result<PointRecord> decodeRecord(ByteView bytes, const std::string& name);

/// The bytes of a record; the inverse of decodeRecord.
inline Bytes encodeRecord(const PointRecord& record) {
    return encodePointStream(record);
}

/// The time spent writing: the sum over strokes of each one's last sample time, in ms (pauses
/// between strokes are not in the record).
std::uint64_t writingMilliseconds(const PointRecord& record);

}  // namespace penwell::receiver
