#pragma once
// The evidence payload: what an evidence record seals (secure/Evidence.h) and a receiver
// decrypts (receiver/OpenEvidence.h), as DER. Version 1; docs/evidence.md has the ASN.1 module.
// The encoder and the decoder share one set of limits, so nothing is sealed that a receiver
// would refuse and nothing is accepted that the sender could not have written.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "penwell/format/SampleBatch.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell {

/// A free text field a host adds (reason, signer name or id, order number).
struct EvidenceField {
    std::string name;   ///< 1 to kMaxEvidenceFieldBytes bytes of UTF-8, unique in a record
    std::string value;  ///< 0 to kMaxEvidenceFieldBytes bytes of UTF-8
    friend bool operator==(const EvidenceField&, const EvidenceField&) = default;
};

inline constexpr std::size_t kMaxEvidenceFields = 32;
/// Also the bound of the software string.
inline constexpr std::size_t kMaxEvidenceFieldBytes = 4096;

using Sha256 = std::array<std::uint8_t, 32>;

/// The most recipients an evidence record is sealed for, and opened with. A receiver's key is
/// tried on each recipient at the cost of a private-key operation, so a record sealed for
/// thousands would hold it for seconds; a real one names the receiver and perhaps an examiner
/// or the next key of a rotation.
inline constexpr std::size_t kMaxEvidenceRecipients = 16;

/// What the receiver decrypts.
struct EvidencePayload {
    static constexpr int kVersion = 1;
    int version = kVersion;
    Bytes record;                            ///< the point stream, as getSignatureData's
    std::vector<PointerKind> pointerKinds;   ///< one per stroke, as reported at touch-down
    double padWidth = 0.0, padHeight = 0.0;  ///< points
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 0.0;  ///< the ink colour components
    double lineWidth = 0.0;
    bool smoothing = false;
    double sigma = 0.0, sigma2 = 0.0;  ///< calculateSigma(), calculateSigma2() (NaN kept)
    std::optional<Sha256> documentSha256;
    std::chrono::sys_seconds captureTime{};
    std::string software;  ///< "Penwell " and the library's version; UTF-8
    std::vector<EvidenceField> fields;
};

/// Why `fields` cannot go into a payload, or empty when they can: more than
/// kMaxEvidenceFields, a name empty, repeated or not UTF-8, a name or value longer than
/// kMaxEvidenceFieldBytes or not UTF-8. The reason quotes a name only when it is UTF-8.
std::string evidenceFieldsFault(const std::vector<EvidenceField>& fields);

/// The payload's DER (canonical: one payload, one byte string). Fails
/// (kFormatErrorDomain, FormatError::evidencePayload) naming the fault when the payload breaks
/// a limit the decoder holds it to: its fields (evidenceFieldsFault), the software string,
/// the version, one pointer kind per stroke of the record, a known pointer kind, a capture
/// time in the years 0 to 9999.
Result<Bytes> encodeEvidencePayload(const EvidencePayload& payload);

/// Decodes a payload's DER (what `openssl cms -decrypt` writes): strict DER, every limit above.
/// Fails (kFormatErrorDomain, FormatError::evidencePayload) with "<name>: not an evidence
/// payload: <the first field at fault>".
Result<EvidencePayload> decodeEvidencePayload(ByteView der, const std::string& name);

}  // namespace penwell
