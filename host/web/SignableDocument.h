#pragma once
// A PDF the signer signs in the browser (`penwell serve --document`): read once at start-up,
// checked as `penwell pdf sign` checks it, and served to the page with pdf.js, which shows the
// page; Done seals the signature into it. The signing itself is the PDF library's (pdf/); this
// host only feeds it. Without the PDF library (a compiler that cannot build it) open() refuses.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/host/common/DocumentRequest.h"
#include "penwell/host/web/WebAssets.h"
#include "penwell/platform/Cms.h"
#include "penwell/platform/Result.h"
#include "penwell/secure/Evidence.h"

namespace penwell::host {
class DocumentToSign;
}

namespace penwell::web {

/// The environment variable naming pdf.js's folder when --pdfjs does not.
inline constexpr const char* kPdfjsVariable = "PENWELL_PDFJS";

/// Domain of the browser host's own refusals; the code is DocumentError. The signing's
/// refusals are host::DocumentToSign's (host/common/DocumentToSign.h).
inline constexpr const char* kDocumentErrorDomain = "PenwellWebDocument";

enum class DocumentError : int {
    noPdfjs = 1,       ///< pdf.js is not in the folder named
    needsSignKey = 2,  ///< no operator key to seal the PDF with
    // 3 was "no picture of the ink": host::DocumentError::noInk now
    noPdfLibrary = 4,  ///< built without the PDF library
};

class SignableDocument {
public:
    /// Reads the document (at most the PDF library's size bound) and pdf.js from `pdfjs` (its
    /// build/pdf.js and build/pdf.worker.js; nil: $PENWELL_PDFJS, else where the build found
    /// libjs-pdf), and refuses what `pdf sign` would refuse, with its messages, and a server
    /// without an operator key (a PAdES signature is made with it). Fails with one line naming
    /// the input at fault.
    static Result<std::shared_ptr<const SignableDocument>> open(
        const host::DocumentRequest& request, const std::optional<std::filesystem::path>& pdfjs,
        const std::optional<SigningIdentity>& signer);
    /// As open(), on `pdf` already read (a request's revision) with pdf.js's two scripts as
    /// pdfjsScripts() answers them; request.file only names the bytes in messages.
    static Result<std::shared_ptr<const SignableDocument>> fromBytes(
        const host::DocumentRequest& request, Bytes pdf,
        std::shared_ptr<const std::vector<Bytes>> scripts, const SigningIdentity& signer);
    /// pdf.js's two scripts from `pdfjs` (as open() finds them), to share between documents.
    static Result<std::shared_ptr<const std::vector<Bytes>>> pdfjsScripts(
        const std::optional<std::filesystem::path>& pdfjs);
    ~SignableDocument();
    SignableDocument(const SignableDocument&) = delete;
    SignableDocument& operator=(const SignableDocument&) = delete;

    /// SHA-256 of the bytes read at start-up: the evidence is bound to it.
    const Sha256& digest() const;
    /// The page the signature goes on, from 1: the one the signer must have been shown.
    int page() const;

    /// What the page needs besides itself: /document.pdf (the bytes read at start-up),
    /// /document.json (the page and the rectangle, and the reason, name and location the
    /// signature dictionary will hold, which the page shows the signer) and pdf.js (/pdfjs/pdf.js and
    /// /pdfjs/pdf.worker.js, read at start-up). Nothing else of the file system is served.
    std::span<const WebAsset> assets() const;

    /// The document signed with the controller's signature: its ink drawn by the stroke
    /// painter into the place, `evidence` (bound to digest()) inside, sealed with the operator
    /// key. `warn` is told, one line each, what `pdf sign` warns of (a PDF/A input the
    /// signature takes out of conformance). Fails with the reason.
    Result<Bytes> sign(PenwellViewController& controller, const Bytes& evidence,
                       const std::function<void(const std::string&)>& warn = {}) const;

    struct Impl;

private:
    explicit SignableDocument(std::unique_ptr<Impl> impl);
    static Result<std::shared_ptr<const SignableDocument>> made(
        const host::DocumentRequest& request,
        Result<std::shared_ptr<const host::DocumentToSign>> document,
        std::shared_ptr<const std::vector<Bytes>> scripts);
    std::unique_ptr<Impl> impl_;
};

}  // namespace penwell::web
