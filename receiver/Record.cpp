#include "receiver/Record.h"

#include <algorithm>

#include "receiver/Signature.h"
#include "secure/PointStream.h"

namespace penwell::receiver {

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

/// Reads a signed count at `offset`, refusing negative ones and ones whose payload of
/// `itemSize` bytes per item cannot fit in what is left. Checking against the bytes left
/// before reserving anything keeps a hostile count from allocating gigabytes.
std::size_t readCount(ByteView bytes, std::size_t offset, std::size_t itemSize,
                      const std::string& name, const std::string& what) {
    const auto corrupt = [](std::string message) {
        return Refusal{signatureFailure(SignatureError::corrupt, std::move(message))};
    };
    if (bytes.size() - offset < kCountSize) {
        throw corrupt(name + ": record truncated: " + what + " at byte " + std::to_string(offset) +
                      " needs 4 bytes, " + std::to_string(bytes.size() - offset) + " left");
    }
    const std::int32_t count = signedField(readU32(bytes, offset));
    if (count < 0) {
        throw corrupt(name + ": record corrupt: " + what + " at byte " + std::to_string(offset) +
                      " is negative (" + std::to_string(count) + ")");
    }
    const std::size_t left = bytes.size() - offset - kCountSize;
    if (static_cast<std::size_t>(count) > left / itemSize) {
        throw corrupt(name + ": record corrupt: " + what + " at byte " + std::to_string(offset) +
                      " is " + std::to_string(count) + ", which needs at least " +
                      std::to_string(static_cast<std::uint64_t>(count) * itemSize) +
                      " bytes, but only " + std::to_string(left) + " are left");
    }
    return static_cast<std::size_t>(count);
}

PointRecord decode(ByteView bytes, const std::string& name) {
    // Every stroke takes at least its 4-byte count, which bounds the stroke count.
    const std::size_t lines = readCount(bytes, 0, kCountSize, name, "stroke count");
    std::size_t offset = kCountSize;
    PointRecord record;
    record.reserve(lines);
    for (std::size_t s = 0; s < lines; ++s) {
        const std::size_t count = readCount(bytes, offset, kSampleSize, name,
                                            "sample count of stroke " + std::to_string(s));
        offset += kCountSize;
        RecordStroke stroke;
        stroke.reserve(count);
        for (std::size_t i = 0; i < count; ++i, offset += kSampleSize) {
            stroke.push_back({readU32(bytes, offset), readU32(bytes, offset + 4),
                              readU32(bytes, offset + 8), readU32(bytes, offset + 12)});
        }
        record.push_back(std::move(stroke));
    }
    if (offset != bytes.size()) {
        throw Refusal{signatureFailure(
            SignatureError::corrupt,
            name + ": record corrupt: " + std::to_string(bytes.size() - offset) +
                " trailing bytes after the last of " + std::to_string(lines) +
                " strokes (record is " + std::to_string(bytes.size()) + " bytes)")};
    }
    return record;
}

}  // namespace

Result<PointRecord> decodeRecord(ByteView bytes, const std::string& name) {
    return refusing([&] { return decode(bytes, name); });
}

Bytes encodeRecord(const PointRecord& record) {
    Bytes out;
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

PointRecord recordOf(const std::vector<Stroke>& lines) {
    PointRecord record;
    record.reserve(lines.size());
    for (const Stroke& stroke : lines) {
        RecordStroke out;
        out.reserve(stroke.size());
        for (const _point& sample : stroke) {
            const Point pt = sample.CGPointValue();
            out.push_back({recordInteger(pt.x), recordInteger(pt.y),
                           recordInteger(sample.Pressure() * 1000.0),
                           static_cast<std::uint32_t>(sample.Timestamp())});
        }
        record.push_back(std::move(out));
    }
    return record;
}

std::vector<Stroke> strokesOf(const PointRecord& record) {
    std::vector<Stroke> strokes;
    strokes.reserve(record.size());
    for (const RecordStroke& in : record) {
        Stroke stroke;
        stroke.reserve(in.size());
        for (const RecordSample& s : in) {
            stroke.push_back(_point::initwith(
                {static_cast<double>(signedField(s.x)), static_cast<double>(signedField(s.y))}, s.t,
                recordPressure(s.p)));
        }
        strokes.push_back(std::move(stroke));
    }
    return strokes;
}

std::size_t sampleCount(const PointRecord& record) {
    std::size_t n = 0;
    for (const RecordStroke& stroke : record) {
        n += stroke.size();
    }
    return n;
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
