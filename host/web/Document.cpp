#include "host/web/Document.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "host/common/EvidenceInputs.h"
#include "platform/filesystem/StagedFile.h"
#ifdef PENWELL_WITH_PDF
#include "pdf/PdfSignature.h"
#endif

namespace penwell::web {

namespace {

Failure documentFailure(DocumentError code, std::string message) {
    return Failure{kDocumentErrorDomain, static_cast<std::int64_t>(code), std::move(message)};
}

}  // namespace

#ifdef PENWELL_WITH_PDF

namespace {

/// pdf.js's two scripts are about 2.4 MB together; a larger file is not what is looked for.
constexpr std::uint64_t kMaxScriptBytes = 16u << 20;
/// The only files of pdf.js the page loads, under build/ of its folder, served as /pdfjs/NAME.
constexpr const char* kPdfjsScripts[] = {"pdf.js", "pdf.worker.js"};
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

std::filesystem::path pdfjsFolder(const DocumentOptions& options) {
    if (options.pdfjs) {
        return *options.pdfjs;
    }
    if (const char* folder = std::getenv(kPdfjsVariable); folder != nullptr && *folder != '\0') {
        return folder;
    }
    return PENWELL_PDFJS_DIR;
}

std::string_view text(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

struct SignableDocument::Impl {
    std::string name;
    Bytes bytes;  // read once: what the page shows is what is signed
    Sha256 digest{};
    pdf::SignRequest request;
    std::optional<pdf::SigningIdentity> identity;
    std::string place;  // /document.json
    std::vector<Bytes> scripts;
    std::vector<WebAsset> assets;
};

Result<std::shared_ptr<const SignableDocument>> SignableDocument::open(
    const DocumentOptions& options, const std::optional<SigningIdentity>& signer) {
    return refusing([&] {
        auto impl = std::make_unique<Impl>();
        const std::filesystem::path pdfjs = pdfjsFolder(options);
        for (const char* script : kPdfjsScripts) {
            const std::filesystem::path path = pdfjs / "build" / script;
            std::error_code ec;
            if (!std::filesystem::is_regular_file(path, ec)) {
                throw Refusal{documentFailure(
                    DocumentError::noPdfjs,
                    pdfjs.string() + ": no pdf.js there (build/" + script +
                        "): install libjs-pdf, or name its folder with --pdfjs or $" +
                        kPdfjsVariable)};
            }
            impl->scripts.push_back(take(filesystem::readFile(path, kMaxScriptBytes, "a script")));
        }
        if (!signer) {
            throw Refusal{documentFailure(DocumentError::needsSignKey,
                                          "--document: needs --sign-key (with --sign-cert, or a "
                                          "PKCS#12 file): the signed PDF "
                                          "is sealed with the operator key")};
        }
        impl->name = options.file.string();
        impl->request.placement =
            takePdf(pdf::placementOf(options.field, options.page, options.rect));
        impl->request.reason = options.reason;
        impl->request.location = options.location;
        impl->request.name = options.name;
        impl->bytes = take(filesystem::readFile(options.file, pdf::kMaxDocumentBytes, "a PDF"));
        const pdf::SignaturePlace place =
            takePdf(pdf::checkSignRequest(impl->bytes, impl->name, impl->request));
        impl->identity =
            takePdf(pdf::SigningIdentity::fromOperator(*signer, "--sign-key", "--sign-cert"));
        impl->digest = take(host::documentDigest(impl->bytes, impl->name));
        impl->place = nlohmann::json{{"page", place.page},
                                     {"rect", {place.x, place.y, place.width, place.height}}}
                          .dump();
        const char* script = "text/javascript; charset=utf-8";
        impl->assets = {{"/document.pdf", "application/pdf", text(impl->bytes)},
                        {"/document.json", "application/json", impl->place},
                        {"/pdfjs/pdf.js", script, text(impl->scripts[0])},
                        {"/pdfjs/pdf.worker.js", script, text(impl->scripts[1])}};
        return std::shared_ptr<const SignableDocument>(new SignableDocument(std::move(impl)));
    });
}

const Sha256& SignableDocument::digest() const {
    return impl_->digest;
}

std::span<const WebAsset> SignableDocument::assets() const {
    return impl_->assets;
}

Result<Bytes> SignableDocument::sign(PenwellViewController& controller,
                                     const Bytes& evidence) const {
    return refusing([&] {
        const std::optional<ExportResult> ink = controller.exportSignature(kInkPdf);
        if (!ink) {
            throw Refusal{documentFailure(DocumentError::noInk,
                                          impl_->name + ": the ink's picture could not be made")};
        }
        pdf::SignRequest request = impl_->request;
        request.inkPdf = ink->bytes;
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

#else  // built without the PDF library

struct SignableDocument::Impl {
    Sha256 digest{};
};

Result<std::shared_ptr<const SignableDocument>> SignableDocument::open(
    const DocumentOptions&, const std::optional<SigningIdentity>&) {
    return documentFailure(
        DocumentError::noPdfLibrary,
        "--document: this penwell was built without the PDF library (its compiler cannot "
        "build qpdf's headers)");
}

const Sha256& SignableDocument::digest() const {
    return impl_->digest;
}

std::span<const WebAsset> SignableDocument::assets() const {
    return {};
}

Result<Bytes> SignableDocument::sign(PenwellViewController&, const Bytes&) const {
    return documentFailure(DocumentError::noPdfLibrary, "no PDF library");
}

#endif

SignableDocument::SignableDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SignableDocument::~SignableDocument() = default;

}  // namespace penwell::web
