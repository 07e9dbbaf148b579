// The payload's DER. The structure is fixed and small, so it is written directly: definite
// lengths in their shortest form, fields in the module's order, an absent digest left out.

#include <bit>
#include <chrono>
#include <cstdio>

#include "secure/Evidence.h"

namespace penwell {
namespace {

// Universal tags and the context tag of the digest.
constexpr std::uint8_t kBoolean = 0x01, kInteger = 0x02, kOctetString = 0x04, kUtf8 = 0x0c,
                       kGeneralizedTime = 0x18, kSequence = 0x30, kDigestTag = 0xa0;

// AlgorithmIdentifier for SHA-256 (2.16.840.1.101.3.4.2.1), parameters absent (RFC 5754).
constexpr std::uint8_t kSha256Algorithm[] = {0x30, 0x0b, 0x06, 0x09, 0x60, 0x86, 0x48,
                                             0x01, 0x65, 0x03, 0x04, 0x02, 0x01};

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

Bytes sequence(std::initializer_list<Bytes> parts, std::uint8_t tag = kSequence) {
    Bytes content;
    for (const Bytes& part : parts) {
        content.insert(content.end(), part.begin(), part.end());
    }
    return tlv(tag, content);
}

Bytes text(const std::string& s) {
    return tlv(kUtf8, asBytes(s));
}

Bytes binary64(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    Bytes content;
    for (int shift = 56; shift >= 0; shift -= 8) {
        content.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    return tlv(kOctetString, content);
}

Bytes smallInteger(int value) {
    // Versions are small and positive: one content octet below 128.
    return tlv(kInteger, Bytes{static_cast<std::uint8_t>(value & 0x7f)});
}

Bytes generalizedTime(std::chrono::sys_seconds time) {
    const auto day = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss clock(time - day);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d%02u%02u%02d%02d%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return tlv(kGeneralizedTime, asBytes(buffer));
}

}  // namespace

Bytes encodeEvidencePayload(const EvidencePayload& p) {
    Bytes kinds;
    for (const PointerKind kind : p.pointerKinds) {
        kinds.push_back(static_cast<std::uint8_t>(kind));
    }
    Bytes fields;
    for (const EvidenceField& field : p.fields) {
        const Bytes one = sequence({text(field.name), text(field.value)});
        fields.insert(fields.end(), one.begin(), one.end());
    }
    Bytes digest;
    if (p.documentSha256) {
        digest = sequence({Bytes(std::begin(kSha256Algorithm), std::end(kSha256Algorithm)),
                           tlv(kOctetString, *p.documentSha256)},
                          kDigestTag);
    }
    return sequence(
        {smallInteger(p.version), tlv(kOctetString, p.record), tlv(kOctetString, kinds),
         sequence({binary64(p.padWidth), binary64(p.padHeight)}),
         sequence({binary64(p.red), binary64(p.green), binary64(p.blue), binary64(p.alpha),
                   binary64(p.lineWidth),
                   tlv(kBoolean, Bytes{p.smoothing ? std::uint8_t{0xff} : std::uint8_t{0}})}),
         sequence({binary64(p.sigma), binary64(p.sigma2)}), digest, generalizedTime(p.captureTime),
         text(p.software), tlv(kSequence, fields)});
}

}  // namespace penwell
