#pragma once
// The evidence record: a captured signature bound to what was signed, sealed for the receiver
// and optionally signed by the capture station, in standard CMS so that `openssl cms` opens it.
//
//   ContentInfo SignedData (optional: SHA-256, signing-certificate-v2, operator certificate)
//     eContent id-data = DER ContentInfo AuthEnvelopedData
//       AES-256-GCM; for each recipient (the pinned certificate unless others are named):
//       KeyTransRecipientInfo RSAES-OAEP SHA-256, or KeyAgreeRecipientInfo ECDH + AES key wrap
//         EvidencePayload (DER, docs/evidence.md): the point-stream record byte for byte, the
//         pointer kind of each stroke, pad size, ink, sigma and sigma2, the document's
//         SHA-256, the capture time, the software version and the host's text fields
//
// Made by PenwellViewController::exportEvidence (secure/EvidenceExport.cpp); opened by
// receiver/Evidence.h.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Cms.h"

namespace penwell {

/// Domain of the evidence export's own failures; codes are EvidenceError values. Failures of
/// the key wrap's certificate lookup keep kKeyWrapErrorDomain, those of CMS kCmsErrorDomain.
inline constexpr const char* kEvidenceErrorDomain = "PenwellEvidence";

enum class EvidenceError : int {
    noSignature = 1,    ///< isSignature() is false
    badOptions = 2,     ///< too many or too long text fields, a field name repeated or empty
    noCertificate = 3,  ///< the pinned certificate cannot be had (the message says why)
    badPayload = 4,     ///< (receiver) the decrypted payload is not a valid EvidencePayload
};

/// How the pointer touched the pad for a stroke, as the toolkit reported it at touch-down.
enum class PointerKind : std::uint8_t { unknown = 0, finger = 1, stylus = 2, mouse = 3 };

/// A free text field a host adds (reason, signer name or id, order number).
struct EvidenceField {
    std::string name;   ///< 1 to kMaxEvidenceFieldBytes bytes of UTF-8, unique in a record
    std::string value;  ///< 0 to kMaxEvidenceFieldBytes bytes of UTF-8
    friend bool operator==(const EvidenceField&, const EvidenceField&) = default;
};

inline constexpr std::size_t kMaxEvidenceFields = 32;
inline constexpr std::size_t kMaxEvidenceFieldBytes = 4096;

using Sha256 = std::array<std::uint8_t, 32>;

struct EvidenceOptions {
    /// SHA-256 of the document, order or form the signature is given for. Without it the
    /// record is bound to nothing; tools ask for it by default.
    std::optional<Sha256> documentSha256;
    /// When the signature was captured, UTC; default: the time of the export.
    std::optional<std::chrono::sys_seconds> captureTime;
    std::vector<EvidenceField> fields;
    /// The capture station's operator key and certificate: when given, the sealed record is
    /// wrapped in SignedData so a receiver can tell which station made it.
    std::optional<SigningIdentity> signer;
    /// The certificates (PEM or DER, RSA or EC P-256/P-384) the record is sealed for, each of
    /// whose holders opens it alone: an institution's archive key and a forensic examiner, or
    /// the old and the new key during a rotation. Empty: the pinned certificate, found as
    /// getSignatureData finds it (store, then Penwell.dat).
    std::vector<Bytes> recipients;
};

/// What the receiver decrypts. Version 1; see docs/evidence.md for the ASN.1 module.
struct EvidencePayload {
    static constexpr int kVersion = 1;
    int version = kVersion;
    Bytes record;                            ///< the point-stream record, as getSignatureData's
    std::vector<PointerKind> pointerKinds;   ///< one per stroke of the record
    double padWidth = 0.0, padHeight = 0.0;  ///< points
    double red = 0.0, green = 0.0, blue = 0.0, alpha = 0.0;  ///< the ink colour components
    double lineWidth = 0.0;
    bool smoothing = false;
    double sigma = 0.0, sigma2 = 0.0;  ///< calculateSigma(), calculateSigma2() (NaN kept)
    std::optional<Sha256> documentSha256;
    std::chrono::sys_seconds captureTime{};
    std::string software;  ///< "Penwell " and the library's version
    std::vector<EvidenceField> fields;
};

/// The payload's DER encoding (canonical: one payload, one byte string).
Bytes encodeEvidencePayload(const EvidencePayload& payload);

}  // namespace penwell
