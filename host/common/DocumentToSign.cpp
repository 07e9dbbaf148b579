#include "penwell/host/common/DocumentToSign.h"

#include "penwell/host/common/EvidenceInputs.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell::host {

namespace {

/// The ink as the controller exports it for a document: vectors from the stroke painter, cut
/// to the ink (`pdf sign` draws it the same way).
const ExportOptions kInkPdf{ExportFormat::PDF, 1.0, true, false};

/// The PDF library's refusal, in this host's domain (100 + its kind), keeping its words.
Failure fromPdf(const Failure& failure) {
    return Failure{kDocumentErrorDomain, 100 + failure.code, failure.message, failure.where};
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
    Result<Bytes> bytes = filesystem::readFile(request.file, pdf::kMaxDocumentBytes, "a PDF");
    if (!bytes) {
        return bytes.error();
    }
    return fromBytes(request, std::move(*bytes), signer, keyName, certificateName);
}

Result<std::shared_ptr<const DocumentToSign>> DocumentToSign::fromBytes(
    const DocumentRequest& request, Bytes bytes, const SigningIdentity& signer,
    const std::string& keyName, const std::string& certificateName) {
    auto impl = std::make_unique<Impl>();
    impl->request = request;
    impl->name = request.file.string();
    Result<pdf::Placement> placement = pdf::placementOf(request.field, request.page, request.rect);
    if (!placement) {
        return fromPdf(placement.error());
    }
    impl->signRequest.placement = std::move(*placement);
    impl->signRequest.reason = request.reason;
    impl->signRequest.location = request.location;
    impl->signRequest.name = request.name;
    impl->signRequest.certify = request.certify;
    if (request.tsa) {
        impl->signRequest.timestamp = pdf::TimestampAuthority{*request.tsa, request.http};
    }
    impl->bytes = std::move(bytes);
    const Result<pdf::SignaturePlace> place =
        pdf::checkSignRequest(impl->bytes, impl->name, impl->signRequest);
    if (!place) {
        return fromPdf(place.error());
    }
    impl->place = {place->page, place->x, place->y, place->width, place->height};
    Result<pdf::SigningIdentity> identity =
        pdf::SigningIdentity::fromOperator(signer, keyName, certificateName);
    if (!identity) {
        return fromPdf(identity.error());
    }
    impl->identity = std::move(*identity);
    const Result<Sha256> digest = documentDigest(impl->bytes, impl->name);
    if (!digest) {
        return digest.error();
    }
    impl->digest = *digest;
    return std::shared_ptr<const DocumentToSign>(new DocumentToSign(std::move(impl)));
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
    const std::optional<ExportResult> ink = controller.exportSignature(kInkPdf);
    if (!ink) {
        return Failure{kDocumentErrorDomain, static_cast<int>(DocumentError::noInk),
                       impl_->name + ": the ink's picture could not be made"};
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
    Result<Bytes> signedPdf = pdf::signPdf(impl_->bytes, impl_->name, request, *impl_->identity);
    if (!signedPdf) {
        return fromPdf(signedPdf.error());
    }
    return signedPdf;
}

}  // namespace penwell::host
