#pragma once
// The few DER pieces the evidence payload is made of, written and read by one pair of
// functions each so the two sides cannot drift: definite lengths in their shortest form,
// nothing but the tags the module names. Private to format/.

#include <cstdint>
#include <initializer_list>
#include <string>

#include "penwell/platform/Bytes.h"

namespace penwell::format::der {

// Universal tags and the context tag of the document digest.
inline constexpr std::uint8_t kBoolean = 0x01, kInteger = 0x02, kOctetString = 0x04,
                              kUtf8String = 0x0c, kGeneralizedTime = 0x18, kSequence = 0x30,
                              kDigestTag = 0xa0;

/// AlgorithmIdentifier for SHA-256 (2.16.840.1.101.3.4.2.1), parameters absent (RFC 5754).
inline constexpr std::uint8_t kSha256Algorithm[] = {0x30, 0x0b, 0x06, 0x09, 0x60, 0x86, 0x48,
                                                    0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

/// Tag, shortest definite length, content.
Bytes tlv(std::uint8_t tag, ByteView content);
/// The parts one after another inside one `tag` (a SEQUENCE unless said otherwise).
Bytes sequence(std::initializer_list<Bytes> parts, std::uint8_t tag = kSequence);
/// An OCTET STRING of the big-endian IEEE 754 bits of `value` (NaN kept as it is).
Bytes binary64(double value);

/// A strict reader: each read answers false at the first mismatch and then leaves the
/// position where it was.
class Reader {
public:
    explicit Reader(ByteView in) : in_(in) {}

    bool atEnd() const { return pos_ == in_.size(); }
    bool next(std::uint8_t tag) const { return pos_ < in_.size() && in_[pos_] == tag; }

    /// The content of the next element when it carries `tag` and a DER length that fits.
    bool read(std::uint8_t tag, ByteView& content);
    /// An OCTET STRING of exactly 8 bytes, as binary64 writes it.
    bool binary64(double& value);
    /// A SEQUENCE of exactly these Binary64 values.
    bool doubles(std::initializer_list<double*> values);

private:
    ByteView in_;
    std::size_t pos_ = 0;
};

}  // namespace penwell::format::der
