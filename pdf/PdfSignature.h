#pragma once
// Signing a PDF with a handwritten signature, and checking the signatures of a PDF.
//
// Signing appends one incremental update to the document's bytes: the input is an exact byte
// prefix of the output, so signatures already in it stay valid. The update holds a signature
// field with its widget (or fills the empty field named), the widget's appearance (the ink,
// drawn by the component's stroke painter into a one-page PDF and placed as a form XObject,
// fitted into the rectangle with its aspect kept), optionally the evidence record as an
// embedded file associated with the field, and a PAdES B-B signature dictionary whose
// /Contents is a detached CMS SignedData over the whole file but /Contents. The update uses
// the cross-reference form the input ends with: a classic table or a cross-reference stream.
//
// qpdf parses the input and serialises single objects; this library writes the update
// section (objects, cross-reference, trailer) itself, because qpdf can only rewrite files.

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Cms.h"

namespace penwell::pdf {

/// The largest document signed or verified. Both read the file whole and qpdf keeps its own
/// structures beside it, so this bounds memory at a few times this size; real contracts and
/// forms are well under 50 MiB, scans of a few hundred pages reach about 100.
inline constexpr std::uint64_t kMaxDocumentBytes = 256u << 20;

/// The longest --reason, --location or --name, in bytes of UTF-8.
inline constexpr std::size_t kMaxTextBytes = 1024;

using Sha256 = std::array<std::uint8_t, 32>;

/// A private key and its certificate (with any intermediate certificates) that sign.
class SigningIdentity {
public:
    /// From a PEM or DER private key and PEM or DER certificates (the first is the signer's).
    /// `keyName` and `certificateName` name the inputs in messages; the key is never quoted.
    static Result<SigningIdentity> fromPem(ByteView privateKey, const std::string& keyName,
                                           ByteView certificates,
                                           const std::string& certificateName);
    /// From the operator identity that signs evidence, as platform/SigningIdentityFiles.h
    /// loads it from PEM, DER, PKCS#12 or a token (the one loader: a PKCS#12 file is never
    /// read here): a key in memory, or a key on a PKCS#11 token, which then makes every
    /// signature itself.
    static Result<SigningIdentity> fromOperator(const penwell::SigningIdentity& identity,
                                                const std::string& keyName,
                                                const std::string& certificateName);

    /// The OpenSSL handles, private to the library.
    struct Impl;
    const Impl& impl() const { return *impl_; }
    static SigningIdentity make(std::shared_ptr<const Impl> impl) {
        return SigningIdentity(std::move(impl));
    }

private:
    explicit SigningIdentity(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
    std::shared_ptr<const Impl> impl_;
};

/// A new signature field on a page. The rectangle is in PDF points from the lower-left corner
/// of the page's crop box (the part a reader shows), x to the right and y upwards in the
/// page's own coordinates (before any /Rotate), 72 per inch; it must lie within the crop box.
struct PagePlacement {
    int page = 1;  ///< 1 for the first page
    double x = 0.0, y = 0.0, width = 0.0, height = 0.0;
};
/// An existing, empty signature field, by its fully qualified name ("Parent.Child").
struct FieldPlacement {
    std::string name;
};

using Placement = std::variant<PagePlacement, FieldPlacement>;

/// The placement the options give: --field NAME, or --page N with --rect "X,Y,W,H" (points,
/// as PagePlacement). Refuses both or neither, and a rectangle that is not four numbers.
Result<Placement> placementOf(const std::optional<std::string>& field, int page,
                              const std::optional<std::string>& rect);

/// Given the SHA-256 of the document being signed (the input's bytes), the evidence record
/// bound to that digest, or an error naming what failed.
using EvidenceSource = std::function<Result<Bytes>(const Sha256& documentDigest)>;

struct SignRequest {
    Placement placement;
    /// The ink as a one-page PDF whose page is the picture (the component's vector export,
    /// cropped to the ink): it becomes the appearance.
    Bytes inkPdf;
    std::string reason, location, name;  ///< left out when empty
    /// The signing time in /M; now when nil. The CMS carries no signing-time attribute.
    std::optional<std::chrono::system_clock::time_point> time;
    /// Nil: no evidence is embedded.
    EvidenceSource evidence;
    /// A certification signature allowing, after it, 1: no changes; 2: form filling and
    /// signing; 3: also annotations. Only the first signature of a document certifies it.
    std::optional<int> certify;
    /// Told, one line each, what the caller should know about the output (a PDF/A input that
    /// the signature takes out of conformance); nil: nobody is told.
    std::function<void(const std::string&)> warn;
    /// Nil: a B-B signature. Otherwise the signature value is time-stamped by this authority
    /// and the token added to the CMS (B-T); its failure fails the signing.
    std::optional<TimestampAuthority> timestamp;
};

/// The signed document: `in` followed by the update. On failure nothing is written anywhere;
/// the message names `inName` (or the option at fault) and says what is wrong.
Result<Bytes> signPdf(ByteView in, const std::string& inName, const SignRequest& request,
                      const SigningIdentity& identity);

/// Where a checked request puts the signature: its page and its rectangle in the page's
/// default user space, as the widget's /Rect has it (the crop box's corner added to a
/// PagePlacement's), and the page's /Rotate (0, 90, 180 or 270).
struct SignaturePlace {
    int page = 1;
    double x = 0.0, y = 0.0, width = 0.0, height = 0.0;
    int rotate = 0;
};

/// Everything signPdf() refuses about `in` and the request's placement and texts (size,
/// encryption, repair, certification and locks, page, field, rectangle), with the same
/// messages; the key and the ink are not looked at. For a caller that must refuse before a
/// signer signs for nothing.
Result<SignaturePlace> checkSignRequest(ByteView in, const std::string& inName,
                                        const SignRequest& request);

// ---- verification ---------------------------------------------------------------------------

/// What an evidence opener found in an evidence record.
struct OpenedEvidence {
    Sha256 documentDigest{};
    std::string summary;  ///< one line: strokes, samples, writing time
    /// The record's text fields, name and value, as sealed (what the signer was shown, the
    /// signing request it was for).
    std::vector<std::pair<std::string, std::string>> fields;
};
/// Opens (decrypts and checks) evidence bytes, or says why it cannot.
using EvidenceOpener = std::function<Result<OpenedEvidence>(ByteView evidence)>;

enum class Coverage { WholeDocument, EarlierRevision };

/// The most a later revision changed after a signature, from least to most.
enum class ModificationLevel {
    None,
    SignaturesAndValidation,  ///< signatures, document timestamps, a DSS, metadata
    FormFilling,              ///< values and appearances of form fields
    Annotations,              ///< annotations added, changed or removed
    Other,                    ///< anything else: content, resources, fonts, pages, signed fields
};
/// "none", "signatures and validation data", "form filling", "annotations", "other".
const char* describe(ModificationLevel level);

enum class EvidenceState {
    None,       ///< not a Penwell signature: it carries no evidence
    NotOpened,  ///< carries evidence, but no opener was given
    Matches,    ///< opened, and bound to the revision that was signed
    Refused,    ///< could not be opened, or is bound to other bytes
};

struct SignatureReport {
    std::string field;   ///< the field's fully qualified name
    std::string signer;  ///< the signing certificate's subject
    std::string time;    ///< /M as written
    std::string subFilter;
    /// A document time-stamp (/SubFilter /ETSI.RFC3161): `signer` is the time-stamp authority
    /// and its token covers the revision.
    bool documentTimestamp = false;
    /// The time the signature's time-stamp token (or a document time-stamp's own) proves,
    /// "YYYY-MM-DD HH:MM:SSZ"; empty when there is none.
    std::string timestampTime;
    /// The PAdES level the file gives this signature: "B-B", "B-T" (a valid time-stamp token),
    /// "B-LT" (also a /DSS holding its certificate), "B-LTA" (also a document time-stamp over
    /// it); empty for a document time-stamp.
    std::string level;
    Coverage coverage = Coverage::EarlierRevision;
    std::uint64_t signedBytes = 0;      ///< the revision the signature covers
    bool signatureValid = false;        ///< byte range sound, CMS digest and signature good
    std::string signatureProblem;       ///< why not, one line
    std::optional<bool> trusted;        ///< nil without a trust anchor
    /// With VerifyOptions::at, the time the signer's chain was judged at, "YYYY-MM-DD
    /// HH:MM:SSZ": the time its time-stamp proves, else the first document time-stamp's over
    /// it, else the validation time; empty when it was not judged.
    std::string judgedAt;
    bool onlyIncrementalAfter = false;  ///< the bytes after the revision only add updates
    /// A certification signature's permissions (DocMDP /P): 1, 2 or 3; nil for an approval one.
    std::optional<int> certification;
    /// The fields this signature locks (FieldMDP), as "all fields", "fields A, B" or "all
    /// fields but A"; empty: none.
    std::string locks;
    /// The most the revisions after it changed (Other when they cannot be compared).
    ModificationLevel modifications = ModificationLevel::None;
    /// Each change the document's permissions or this signature's locks do not allow, as
    /// "object N (what it is)" with the reason; at most eight are listed.
    std::vector<std::string> disallowed;
    EvidenceState evidence = EvidenceState::None;
    std::string evidenceDetail;  ///< the summary, or why it was refused
    std::vector<std::pair<std::string, std::string>> evidenceFields;  ///< when it matches
    Bytes evidenceBytes;         ///< the embedded record, for a caller that shows the ink

    /// Everything checks out (trust only when an anchor was given, evidence when opened).
    bool ok() const {
        return signatureValid && onlyIncrementalAfter && disallowed.empty() &&
               trusted.value_or(true) && evidence != EvidenceState::Refused;
    }
};

struct VerifyOptions {
    /// Files of certificates (PEM, any number each, or one DER) a signer must chain to, every
    /// certificate of every file counting; none: the signer is not judged.
    std::vector<Bytes> trust;
    /// Nil: evidence is listed but not opened.
    EvidenceOpener openEvidence;
    /// Nil: signers are judged as of now (with `trust`). Otherwise (seconds since the epoch)
    /// every chain is judged from what the file carries alone, as a validator years later
    /// would: at the earliest time a time-stamp proves it was used (else at this time), each
    /// certificate's revocation from the /DSS. Needs `trust`.
    std::optional<std::int64_t> at;
};

/// `seconds` since the epoch as the reports write times: "YYYY-MM-DD HH:MM:SSZ", UTC.
std::string utcText(std::time_t seconds);

/// Every signature of the document, in the order of their fields. Fails (naming `name`) only
/// when the document cannot be read at all; a bad signature is a report, not a failure.
Result<std::vector<SignatureReport>> verifyPdf(ByteView file, const std::string& name,
                                               const VerifyOptions& options);

}  // namespace penwell::pdf
