#pragma once
// What a signer's Done makes, whichever host the pad runs in: the encrypted record and its
// wrapped key, the picture of the ink, the evidence record and, when a document is signed,
// the signed document; and how they are written to a folder, all or nothing. The browser
// host's sessions and the desktop widget both call exportBundle() and writeBundle(), so their
// outputs are made one way.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.h"
#include "platform/Cms.h"
#include "platform/Graphics.h"
#include "platform/Result.h"
#include "secure/Evidence.h"

namespace penwell {
class PenwellViewController;
}

namespace penwell::host {

/// Signs a document with the controller's signature and `evidence` (bound to the document's
/// digest), answering the signed document or why not.
using DocumentSigner =
    std::function<Result<Bytes>(PenwellViewController& controller, const Bytes& evidence)>;

struct BundleSettings {
    /// The capture station's operator key: when given, the evidence record is signed.
    std::optional<SigningIdentity> signer;
    /// The certificates the evidence is sealed for (EvidenceOptions::recipients); none: the
    /// pinned certificate.
    std::vector<Bytes> recipients;
    /// The document being signed: the evidence is bound to its digest, and `signDocument`
    /// makes the signed document. Without it the evidence is bound to no document.
    std::optional<Sha256> documentSha256;
    DocumentSigner signDocument;
    /// The host's own text fields sealed into the evidence (EvidenceOptions::fields), such as
    /// what the signer was shown.
    std::vector<EvidenceField> fields;
};

struct SignatureBundle {
    Bytes data;      ///< the encrypted record (getSignatureData)
    Bytes key;       ///< its key, wrapped for the pinned certificate
    Bytes png;       ///< the ink cut to the signature (getSignatureImage(true))
    Bytes evidence;  ///< the sealed evidence record
    std::optional<Bytes> signedDocument;  ///< with BundleSettings::signDocument
    double sigma = 0.0;                   ///< calculateSigma(); NaN when undefined
    double sigma2 = 0.0;                  ///< calculateSigma2()
    std::size_t samples = 0;              ///< in the record
};

/// Domain of exportBundle's own refusals; codes are BundleError values. Failures of the record,
/// the evidence or the document keep the component's or the signer's own failure.
inline constexpr const char* kBundleErrorDomain = "PenwellBundle";

enum class BundleError : int {
    noSignature = 1,    ///< too few samples on the pad
    noCertificate = 2,  ///< no usable Penwell.dat, and the component said not why
    noPicture = 3,      ///< the ink's picture could not be made
};

/// Makes every output of a Done from the controller's signature; `graphics` encodes the PNG.
/// Changes nothing on the pad. Fails with the first reason an output could not be made.
Result<SignatureBundle> exportBundle(PenwellViewController& controller, Graphics& graphics,
                                     const BundleSettings& settings);

/// The file names a bundle is written under: NAME.data, NAME.key, NAME.png, NAME.evidence, in
/// that order, and NAME.pdf for the signed document.
inline constexpr const char* kBundleExtensions[] = {".data", ".key", ".png", ".evidence"};
inline constexpr const char* kSignedDocumentExtension = ".pdf";

/// A fresh file name stem for a bundle in `folder`: signature-YYYYMMDD-HHMMSS-XXXXXXXX, with
/// random hex digits, none of whose files exists yet.
std::string freshSignatureName(const std::filesystem::path& folder);

/// Writes the bundle into `folder` under a fresh name, owner-only, all files or none (the
/// folder is left as it was on failure). Answers the name stem.
Result<std::string> writeBundle(const SignatureBundle& bundle, const std::filesystem::path& folder);

}  // namespace penwell::host
