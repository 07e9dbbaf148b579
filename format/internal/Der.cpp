#include "penwell/format/internal/Der.h"

#include <bit>

namespace penwell::format::der {

Bytes tlv(std::uint8_t tag, ByteView content) {
    Bytes out{tag};
    const std::size_t n = content.size();
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else {
        int octets = 0;
        for (std::size_t v = n; v != 0; v >>= 8) {
            ++octets;
        }
        out.push_back(static_cast<std::uint8_t>(0x80 | octets));
        for (int i = octets - 1; i >= 0; --i) {
            out.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
        }
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes sequence(std::initializer_list<Bytes> parts, std::uint8_t tag) {
    Bytes content;
    for (const Bytes& part : parts) {
        content.insert(content.end(), part.begin(), part.end());
    }
    return tlv(tag, content);
}

Bytes binary64(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    Bytes content;
    for (int shift = 56; shift >= 0; shift -= 8) {
        content.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    return tlv(kOctetString, content);
}

bool Reader::read(std::uint8_t tag, ByteView& content) {
    if (!next(tag) || in_.size() - pos_ < 2) {
        return false;
    }
    std::size_t at = pos_ + 1;
    std::size_t length = in_[at++];
    if (length & 0x80) {
        const std::size_t octets = length & 0x7f;
        if (octets == 0 || octets > 4 || in_.size() - at < octets || in_[at] == 0) {
            return false;
        }
        length = 0;
        for (std::size_t i = 0; i < octets; ++i) {
            length = length << 8 | in_[at++];
        }
        if (length < 0x80) {
            return false;  // long form where the short one fits is not DER
        }
    }
    if (in_.size() - at < length) {
        return false;
    }
    content = in_.subspan(at, length);
    pos_ = at + length;
    return true;
}

bool Reader::binary64(double& value) {
    const std::size_t start = pos_;
    ByteView c;
    if (!read(kOctetString, c) || c.size() != 8) {
        pos_ = start;
        return false;
    }
    std::uint64_t bits = 0;
    for (const std::uint8_t b : c) {
        bits = bits << 8 | b;
    }
    value = std::bit_cast<double>(bits);
    return true;
}

bool Reader::doubles(std::initializer_list<double*> values) {
    const std::size_t start = pos_;
    ByteView content;
    if (!read(kSequence, content)) {
        return false;
    }
    Reader inner(content);
    for (double* value : values) {
        if (!inner.binary64(*value)) {
            pos_ = start;
            return false;
        }
    }
    if (!inner.atEnd()) {
        pos_ = start;
        return false;
    }
    return true;
}

}  // namespace penwell::format::der
