// The payload's DER. The structure is fixed and small, so it is written and read directly:
// definite lengths in their shortest form, fields in the module's order, an absent digest left
// out.

#include "penwell/format/EvidencePayload.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "penwell/format/FormatError.h"
#include "penwell/format/PointStream.h"
#include "penwell/format/internal/Der.h"
#include "penwell/format/internal/Utf8.h"

namespace penwell {
namespace {

using namespace format::der;

/// A name for a message: quoted and cut to about 40 bytes on a character boundary when it is
/// UTF-8, else only said to be unreadable, so that the message stays printable anywhere.
std::string quoted(const std::string& name) {
    if (!format::isUtf8(name)) {
        return "(not UTF-8)";
    }
    std::size_t end = std::min<std::size_t>(name.size(), 40);
    while (end < name.size() && (static_cast<std::uint8_t>(name[end]) & 0xc0) == 0x80) {
        --end;
    }
    return "(\"" + name.substr(0, end) + "\")";
}

bool yearFits(std::chrono::sys_seconds time) {
    const std::chrono::year_month_day date(std::chrono::floor<std::chrono::days>(time));
    return date.year() >= std::chrono::year(0) && date.year() <= std::chrono::year(9999);
}

/// The first limit `p` breaks, or empty.
std::string payloadFault(const EvidencePayload& p) {
    if (p.version != EvidencePayload::kVersion) {
        return "version is not 1";
    }
    if (std::any_of(p.pointerKinds.begin(), p.pointerKinds.end(),
                    [](PointerKind k) { return static_cast<std::uint8_t>(k) > 3; })) {
        return "pointerKinds";
    }
    // One kind per stroke of the record, whose first field counts them.
    if (pointStreamStrokes(p.record) != p.pointerKinds.size()) {
        return "pointerKinds (not one per stroke of the record)";
    }
    if (!yearFits(p.captureTime)) {
        return "captureTime (not in the years 0 to 9999)";
    }
    if (p.software.size() > kMaxEvidenceFieldBytes || !format::isUtf8(p.software)) {
        return "software (longer than " + std::to_string(kMaxEvidenceFieldBytes) +
               " bytes, or not UTF-8)";
    }
    return evidenceFieldsFault(p.fields);
}

Bytes text(const std::string& s) {
    return tlv(kUtf8String, asBytes(s));
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

/// "YYYYMMDDHHMMSSZ" as a time; nullopt for anything else or an impossible date.
std::optional<std::chrono::sys_seconds> parseTime(ByteView c) {
    if (c.size() != 15 || c[14] != 'Z' ||
        !std::all_of(c.begin(), c.begin() + 14,
                     [](std::uint8_t b) { return b >= '0' && b <= '9'; })) {
        return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t digits) {
        int v = 0;
        for (std::size_t i = at; i < at + digits; ++i) {
            v = v * 10 + (c[i] - '0');
        }
        return v;
    };
    const std::chrono::year_month_day date{std::chrono::year(number(0, 4)),
                                           std::chrono::month(static_cast<unsigned>(number(4, 2))),
                                           std::chrono::day(static_cast<unsigned>(number(6, 2)))};
    const int h = number(8, 2), m = number(10, 2), s = number(12, 2);
    if (!date.ok() || h > 23 || m > 59 || s > 59) {
        return std::nullopt;
    }
    return std::chrono::sys_days(date) + std::chrono::hours(h) + std::chrono::minutes(m) +
           std::chrono::seconds(s);
}

bool readText(Reader& r, std::string& value) {
    ByteView c;
    if (!r.read(kUtf8String, c) || c.size() > kMaxEvidenceFieldBytes) {
        return false;
    }
    value.assign(c.begin(), c.end());
    return true;
}

/// The payload's structure, or the name of the first field that is wrong; the limits are
/// payloadFault's.
std::optional<EvidencePayload> decode(ByteView der, std::string& fault) {
    EvidencePayload p;
    Reader outer(der);
    ByteView body, part, c;
    if (!outer.read(kSequence, body) || !outer.atEnd()) {
        fault = "not one DER SEQUENCE";
        return std::nullopt;
    }
    Reader r(body);
    if (!r.read(kInteger, c) || c.size() != 1 || c[0] != EvidencePayload::kVersion) {
        fault = "version is not 1";
        return std::nullopt;
    }
    if (!r.read(kOctetString, c)) {
        fault = "record";
        return std::nullopt;
    }
    p.record.assign(c.begin(), c.end());
    if (!r.read(kOctetString, c) ||
        std::any_of(c.begin(), c.end(), [](std::uint8_t k) { return k > 3; })) {
        fault = "pointerKinds";
        return std::nullopt;
    }
    for (const std::uint8_t k : c) {
        p.pointerKinds.push_back(static_cast<PointerKind>(k));
    }
    if (!r.doubles({&p.padWidth, &p.padHeight})) {
        fault = "pad";
        return std::nullopt;
    }
    if (!r.read(kSequence, part)) {
        fault = "ink";
        return std::nullopt;
    }
    {
        Reader ink(part);
        if (!ink.binary64(p.red) || !ink.binary64(p.green) || !ink.binary64(p.blue) ||
            !ink.binary64(p.alpha) || !ink.binary64(p.lineWidth) || !ink.read(kBoolean, c) ||
            c.size() != 1 || (c[0] != 0 && c[0] != 0xff) || !ink.atEnd()) {
            fault = "ink";
            return std::nullopt;
        }
        p.smoothing = c[0] == 0xff;
    }
    if (!r.doubles({&p.sigma, &p.sigma2})) {
        fault = "timing";
        return std::nullopt;
    }
    if (r.next(kDigestTag)) {
        ByteView algorithm;
        if (!r.read(kDigestTag, part)) {
            fault = "documentDigest";
            return std::nullopt;
        }
        Reader d(part);
        if (!d.read(kSequence, algorithm) || !d.read(kOctetString, c) || c.size() != 32 ||
            !d.atEnd() ||
            !std::equal(algorithm.begin(), algorithm.end(), kSha256Algorithm + 2,
                        std::end(kSha256Algorithm))) {
            fault = "documentDigest (only SHA-256 is known)";
            return std::nullopt;
        }
        p.documentSha256.emplace();
        std::copy(c.begin(), c.end(), p.documentSha256->begin());
    }
    std::optional<std::chrono::sys_seconds> time;
    if (!r.read(kGeneralizedTime, c) || !(time = parseTime(c))) {
        fault = "captureTime";
        return std::nullopt;
    }
    p.captureTime = *time;
    if (!readText(r, p.software)) {
        fault = "software";
        return std::nullopt;
    }
    if (!r.read(kSequence, part)) {
        fault = "fields";
        return std::nullopt;
    }
    for (Reader fields(part); !fields.atEnd();) {
        EvidenceField f;
        ByteView one;
        if (p.fields.size() == kMaxEvidenceFields || !fields.read(kSequence, one)) {
            fault = "fields";
            return std::nullopt;
        }
        Reader field(one);
        if (!readText(field, f.name) || !readText(field, f.value) || !field.atEnd()) {
            fault = "fields[" + std::to_string(p.fields.size()) + "]";
            return std::nullopt;
        }
        p.fields.push_back(std::move(f));
    }
    if (!r.atEnd()) {
        fault = "bytes after the last field";
        return std::nullopt;
    }
    if (fault = payloadFault(p); !fault.empty()) {
        return std::nullopt;
    }
    return p;
}

}  // namespace

std::string evidenceFieldsFault(const std::vector<EvidenceField>& fields) {
    if (fields.size() > kMaxEvidenceFields) {
        return std::to_string(fields.size()) + " text fields, at most " +
               std::to_string(kMaxEvidenceFields) + " are allowed";
    }
    std::set<std::string_view> names;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const EvidenceField& f = fields[i];
        const std::string which = "text field " + std::to_string(i) + " " + quoted(f.name);
        if (f.name.empty()) {
            return "text field " + std::to_string(i) + " has no name";
        }
        if (f.name.size() > kMaxEvidenceFieldBytes || f.value.size() > kMaxEvidenceFieldBytes) {
            return which + " is longer than " + std::to_string(kMaxEvidenceFieldBytes) + " bytes";
        }
        if (!format::isUtf8(f.name)) {
            return which + ": its name is not UTF-8";
        }
        if (!format::isUtf8(f.value)) {
            return which + ": its value is not UTF-8";
        }
        if (!names.insert(f.name).second) {
            return which + " repeats a name";
        }
    }
    return {};
}

Result<Bytes> encodeEvidencePayload(const EvidencePayload& p) {
    if (const std::string fault = payloadFault(p); !fault.empty()) {
        return formatFailure(FormatError::evidencePayload,
                             "the evidence payload cannot be written: " + fault);
    }
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
        {tlv(kInteger, Bytes{static_cast<std::uint8_t>(p.version)}), tlv(kOctetString, p.record),
         tlv(kOctetString, kinds), sequence({binary64(p.padWidth), binary64(p.padHeight)}),
         sequence({binary64(p.red), binary64(p.green), binary64(p.blue), binary64(p.alpha),
                   binary64(p.lineWidth),
                   tlv(kBoolean, Bytes{p.smoothing ? std::uint8_t{0xff} : std::uint8_t{0}})}),
         sequence({binary64(p.sigma), binary64(p.sigma2)}), digest, generalizedTime(p.captureTime),
         text(p.software), tlv(kSequence, fields)});
}

Result<EvidencePayload> decodeEvidencePayload(ByteView der, const std::string& name) {
    std::string fault;
    std::optional<EvidencePayload> payload = decode(der, fault);
    if (!payload) {
        return formatFailure(FormatError::evidencePayload,
                             name + ": not an evidence payload: " + fault);
    }
    return std::move(*payload);
}

}  // namespace penwell
