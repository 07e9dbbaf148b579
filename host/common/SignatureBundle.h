#pragma once
// The one export service: what a signature gives, whichever host or command takes it. A
// signer's Done (the browser's sessions, the desktop widget) takes the encrypted record and its
// wrapped key, the picture of the ink, the evidence record and, when a document is signed, the
// signed document; `replay`, `demo` and `pdf sign` (from a trace or from a restored record)
// take what their options name; `serve` and `desk` take a Done's outputs of a short synthetic
// signature before they open. All of them call exportBundle(), so every output is made one way
// and fails one way. writeBundle() writes a Done's files to a folder, all or nothing.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Cms.h"
#include "penwell/platform/Graphics.h"
#include "penwell/platform/Image.h"
#include "penwell/platform/Result.h"
#include "penwell/secure/Evidence.h"

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

    /// What to make: a Done's outputs by default; a command asks for what its options name.
    bool record = true;    ///< data and key
    bool picture = true;   ///< png
    bool evidence = true;  ///< evidence (and, with signDocument, signedDocument)
    bool image = false;    ///< image: getSignatureImage(false)
    bool cropped = false;  ///< cropped: getSignatureImage(true)
    /// exportSignature's files, each answered in SignatureBundle::files in this order.
    std::vector<ExportOptions> files;

    /// Names the signature in failures (a trace's file), "NAME: ..."; empty: not named.
    std::string name;
    /// Where Penwell.dat was looked for, named when there is none.
    std::optional<std::filesystem::path> resources;
};

struct SignatureBundle {
    Bytes data;      ///< the encrypted record (getSignatureData)
    Bytes key;       ///< its key, wrapped for the pinned certificate
    Bytes png;       ///< the ink cut to the signature (getSignatureImage(true))
    Bytes evidence;  ///< the sealed evidence record
    std::optional<Bytes> signedDocument;  ///< with BundleSettings::signDocument
    std::optional<Image> image;           ///< with BundleSettings::image
    std::optional<Image> cropped;         ///< with BundleSettings::cropped
    std::vector<ExportResult> files;      ///< with BundleSettings::files
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
    tooLarge = 4,       ///< the pad is too large for a bitmap or a document at this scale
};

/// Makes the outputs `settings` asks for from the controller's signature (a live pad's or a
/// restored one's); `graphics` encodes the PNG. The point stream is encoded once, for both the
/// record and the evidence. Changes nothing on the pad. Fails with the first reason an output
/// could not be made; without a signature it fails before making anything.
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
