#include "penwell/format/PointStream.h"

#include <cmath>
#include <limits>

#include "penwell/format/FormatError.h"

namespace penwell {

namespace {

std::uint32_t readU32(ByteView bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) |
           static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

void writeU32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

Failure corrupt(std::string message) {
    return formatFailure(FormatError::pointStream, std::move(message));
}

/// Reads a signed count at `offset`, refusing negative ones and ones whose payload of
/// `itemSize` bytes per item cannot fit in what is left. Checking against the bytes left
/// before reserving anything keeps a hostile count from allocating gigabytes.
Result<std::size_t> readCount(ByteView bytes, std::size_t offset, std::size_t itemSize,
                              const std::string& name, const std::string& what) {
    if (bytes.size() - offset < kCountSize) {
        return corrupt(name + ": record truncated: " + what + " at byte " + std::to_string(offset) +
                      " needs 4 bytes, " + std::to_string(bytes.size() - offset) + " left");
    }
    const std::int32_t count = signedField(readU32(bytes, offset));
    if (count < 0) {
        return corrupt(name + ": record corrupt: " + what + " at byte " + std::to_string(offset) +
                      " is negative (" + std::to_string(count) + ")");
    }
    const std::size_t left = bytes.size() - offset - kCountSize;
    if (static_cast<std::size_t>(count) > left / itemSize) {
        return corrupt(name + ": record corrupt: " + what + " at byte " + std::to_string(offset) +
                      " is " + std::to_string(count) + ", which needs at least " +
                      std::to_string(static_cast<std::uint64_t>(count) * itemSize) +
                      " bytes, but only " + std::to_string(left) + " are left");
    }
    return static_cast<std::size_t>(count);
}

}  // namespace

Result<PointRecord> decodePointStream(ByteView bytes, const std::string& name) {
    // Every stroke takes at least its 4-byte count, which bounds the stroke count.
    const Result<std::size_t> lines = readCount(bytes, 0, kCountSize, name, "stroke count");
    if (!lines) {
        return lines.error();
    }
    std::size_t offset = kCountSize;
    PointRecord record;
    record.reserve(*lines);
    for (std::size_t s = 0; s < *lines; ++s) {
        const Result<std::size_t> count = readCount(
            bytes, offset, kSampleSize, name, "sample count of stroke " + std::to_string(s));
        if (!count) {
            return count.error();
        }
        offset += kCountSize;
        RecordStroke stroke;
        stroke.reserve(*count);
        for (std::size_t i = 0; i < *count; ++i, offset += kSampleSize) {
            stroke.push_back({readU32(bytes, offset), readU32(bytes, offset + 4),
                              readU32(bytes, offset + 8), readU32(bytes, offset + 12)});
        }
        record.push_back(std::move(stroke));
    }
    if (offset != bytes.size()) {
        return corrupt(name + ": record corrupt: " + std::to_string(bytes.size() - offset) +
                       " trailing bytes after the last of " + std::to_string(*lines) +
                       " strokes (record is " + std::to_string(bytes.size()) + " bytes)");
    }
    return record;
}

std::uint32_t recordInteger(double value) {
    constexpr double kTwo63 = 9223372036854775808.0;
    std::int64_t truncated;
    if (std::isnan(value)) {
        truncated = 0;
    } else if (value >= kTwo63) {
        truncated = std::numeric_limits<std::int64_t>::max();
    } else if (value < -kTwo63) {
        truncated = std::numeric_limits<std::int64_t>::min();
    } else {
        truncated = static_cast<std::int64_t>(value);
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(truncated));
}

double recordPressure(std::uint32_t field) {
    const auto thousandths = static_cast<std::int32_t>(field);
    double pressure = thousandths / 1000.0;
    // The quotient is the double nearest field / 1000, so its product with 1000.0 lies within
    // an ulp of the field and lands below it for about one value in ninety. The next double
    // away from zero then gives the field: one step is enough for every one of the 2^32
    // fields (checked exhaustively), and it never reaches field + 1, since 1000 ulps of a
    // pressure below 2^22 are far less than one.
    if (recordInteger(pressure * 1000.0) != field) {
        pressure = std::nextafter(pressure, thousandths < 0 ? -HUGE_VAL : HUGE_VAL);
    }
    return pressure;
}

Bytes encodePointStream(const PointRecord& record) {
    std::size_t size = kCountSize;
    for (const RecordStroke& stroke : record) {
        size += kCountSize + kSampleSize * stroke.size();
    }
    Bytes out;
    out.reserve(size);
    writeU32(out, static_cast<std::uint32_t>(record.size()));
    for (const RecordStroke& stroke : record) {
        writeU32(out, static_cast<std::uint32_t>(stroke.size()));
        for (const RecordSample& s : stroke) {
            writeU32(out, s.x);
            writeU32(out, s.y);
            writeU32(out, s.p);
            writeU32(out, s.t);
        }
    }
    return out;
}

std::optional<std::size_t> pointStreamStrokes(ByteView bytes) {
    if (bytes.size() < kCountSize) {
        return std::nullopt;
    }
    const std::int32_t count = signedField(readU32(bytes, 0));
    if (count < 0) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(count);
}

std::size_t sampleCount(const PointRecord& record) {
    std::size_t n = 0;
    for (const RecordStroke& stroke : record) {
        n += stroke.size();
    }
    return n;
}

}  // namespace penwell
