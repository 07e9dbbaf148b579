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
// receiver/OpenEvidence.h.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "penwell/format/EvidencePayload.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Cms.h"

namespace penwell {

/// Domain of the evidence export's own failures; codes are EvidenceError values. Failures of
/// the key wrap's certificate lookup keep kKeyWrapErrorDomain, those of CMS kCmsErrorDomain.
inline constexpr const char* kEvidenceErrorDomain = "PenwellEvidence";

enum class EvidenceError : int {
    noSignature = 1,    ///< isSignature() is false
    badOptions = 2,     ///< text fields evidenceFieldsFault refuses (too many, too long, a name
                        ///< repeated or empty, not UTF-8), more than kMaxEvidenceRecipients
    noCertificate = 3,  ///< the pinned certificate cannot be had (the message says why)
};

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
    /// getSignatureData finds it (store, then Penwell.dat). At most kMaxEvidenceRecipients.
    std::vector<Bytes> recipients;
};

}  // namespace penwell
