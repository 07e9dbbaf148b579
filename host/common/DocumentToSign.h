#pragma once
// A PDF a signer signs on a pad (the browser's `serve --document`, the desktop's `desk`): read
// once when the host starts, checked as `penwell pdf sign` checks it, and signed on Done with
// the controller's ink and the evidence, through the PDF library's signPdf() as `pdf sign`
// signs. What the signer is shown is what is signed: the bytes are never read again.
// Built with the PDF library only (library penwell_host_pdf).

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "penwell/capture/Penwell.h"
#include "penwell/host/common/DocumentRequest.h"
#include "penwell/platform/Bytes.h"
#include "penwell/platform/Cms.h"
#include "penwell/platform/Result.h"
#include "penwell/secure/Evidence.h"

namespace penwell::host {

/// Domain of the document's refusals; the code is DocumentError, or 100 + the PDF library's
/// own kind (pdf::PdfErrorKind) when that library refused.
inline constexpr const char* kDocumentErrorDomain = "PenwellDocument";

enum class DocumentError : int {
    noInk = 1,  ///< the controller made no picture of the ink
};

/// Where the signature goes: its page (1 is the first) and rectangle, in the page's PDF points
/// from its lower-left corner (a field's as its widget has it).
struct DocumentPlace {
    int page = 1;
    double x = 0.0, y = 0.0, width = 0.0, height = 0.0;
};

class DocumentToSign {
public:
    /// Reads the document (at most the PDF library's size bound) and refuses what `pdf sign`
    /// would refuse, with its messages; `keyName` and `certificateName` name the operator
    /// key's inputs in messages. Fails with one line naming the input at fault.
    static Result<std::shared_ptr<const DocumentToSign>> open(const DocumentRequest& request,
                                                              const SigningIdentity& signer,
                                                              const std::string& keyName,
                                                              const std::string& certificateName);
    /// As open(), on `bytes` already read (a stored revision); request.file only names them
    /// in messages.
    static Result<std::shared_ptr<const DocumentToSign>> fromBytes(
        const DocumentRequest& request, Bytes bytes, const SigningIdentity& signer,
        const std::string& keyName, const std::string& certificateName);
    ~DocumentToSign();
    DocumentToSign(const DocumentToSign&) = delete;
    DocumentToSign& operator=(const DocumentToSign&) = delete;

    const DocumentRequest& request() const;
    /// The bytes read at start-up: what a host shows.
    const Bytes& bytes() const;
    /// SHA-256 of those bytes: the evidence is bound to it.
    const Sha256& digest() const;
    const DocumentPlace& place() const;

    /// The document signed with the controller's signature: its ink drawn by the stroke
    /// painter into the place, `evidence` (bound to digest()) inside, sealed with the operator
    /// key. `warn` is told, one line each, what `pdf sign` warns of (a PDF/A input the signature
    /// takes out of conformance). Fails with the reason; nothing is written anywhere.
    Result<Bytes> sign(PenwellViewController& controller, const Bytes& evidence,
                       const std::function<void(const std::string&)>& warn = {}) const;

    struct Impl;

private:
    explicit DocumentToSign(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace penwell::host
