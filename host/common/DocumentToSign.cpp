#include "host/common/DocumentToSign.h"

#include "host/common/EvidenceInputs.h"
#include "pdf/PdfSignature.h"
#include "platform/filesystem/StagedFile.h"

namespace penwell::host {

namespace {

/// The ink as the controller exports it for a document: vectors from the stroke painter, cut
/// to the ink (`pdf sign` draws it the same way).
const ExportOptions kInkPdf{ExportFormat::PDF, 1.0, true, false};

/// The value, or the PDF library's refusal passed on (inside refusing()).
template <typename T>
T takePdf(Result<T> outcome) {
    if (!outcome) {
        throw Refusal{Failure{kDocumentErrorDomain, 100 + outcome.error().code,
                              outcome.error().message, outcome.error().where}};
    }
    return std::move(*outcome);
}

}  // namespace

struct DocumentToSign::Impl {
    DocumentRequest request;
    std::string name;
    Bytes bytes;  // read once: what the signer is shown is what is signed
    Sha256 digest{};
    DocumentPlace place;
    pdf::SignRequest signRequest;
    std::optional<pdf::SigningIdentity> identity;
};

Result<std::shared_ptr<const DocumentToSign>> DocumentToSign::open(
    const DocumentRequest& request, const SigningIdentity& signer, const std::string& keyName,
    const std::string& certificateName) {
    return refusing([&] {
        auto impl = std::make_unique<Impl>();
        impl->request = request;
        impl->name = request.file.string();
        impl->signRequest.placement =
            takePdf(pdf::placementOf(request.field, request.page, request.rect));
        impl->signRequest.reason = request.reason;
        impl->signRequest.location = request.location;
        impl->signRequest.name = request.name;
        impl->signRequest.certify = request.certify;
        impl->bytes = take(filesystem::readFile(request.file, pdf::kMaxDocumentBytes, "a PDF"));
        const pdf::SignaturePlace place =
            takePdf(pdf::checkSignRequest(impl->bytes, impl->name, impl->signRequest));
        impl->place = {place.page, place.x, place.y, place.width, place.height};
        impl->identity =
            takePdf(pdf::SigningIdentity::fromOperator(signer, keyName, certificateName));
        impl->digest = take(documentDigest(impl->bytes, impl->name));
        return std::shared_ptr<const DocumentToSign>(new DocumentToSign(std::move(impl)));
    });
}

DocumentToSign::DocumentToSign(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
DocumentToSign::~DocumentToSign() = default;

const DocumentRequest& DocumentToSign::request() const {
    return impl_->request;
}

const Bytes& DocumentToSign::bytes() const {
    return impl_->bytes;
}

const Sha256& DocumentToSign::digest() const {
    return impl_->digest;
}

const DocumentPlace& DocumentToSign::place() const {
    return impl_->place;
}

Result<Bytes> DocumentToSign::sign(PenwellViewController& controller, const Bytes& evidence,
                                   const std::function<void(const std::string&)>& warn) const {
    return refusing([&] {
        const std::optional<ExportResult> ink = controller.exportSignature(kInkPdf);
        if (!ink) {
            throw Refusal{Failure{kDocumentErrorDomain, static_cast<int>(DocumentError::noInk),
                                  impl_->name + ": the ink's picture could not be made"}};
        }
        pdf::SignRequest request = impl_->signRequest;
        request.inkPdf = ink->bytes;
        request.warn = warn;
        request.evidence = [&](const Sha256& signedDigest) -> Result<Bytes> {
            if (signedDigest != impl_->digest) {  // the bytes are read once: never
                return pdf::fail(pdf::PdfErrorKind::Evidence,
                                 impl_->name + ": changed while it was being signed");
            }
            return evidence;
        };
        return takePdf(pdf::signPdf(impl_->bytes, impl_->name, request, *impl_->identity));
    });
}

}  // namespace penwell::host
