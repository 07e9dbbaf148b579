#include "penwell/host/web/SignableDocument.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "penwell/platform/filesystem/StagedFile.h"
#ifdef PENWELL_WITH_PDF
#include "penwell/host/common/DocumentToSign.h"
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

std::filesystem::path pdfjsFolder(const std::optional<std::filesystem::path>& pdfjs) {
    if (pdfjs) {
        return *pdfjs;
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
    std::shared_ptr<const host::DocumentToSign> document;  // the signing, shared with `desk`
    std::string place;                                     // /document.json
    std::shared_ptr<const std::vector<Bytes>> scripts;  // pdf.js, shared between documents
    std::vector<WebAsset> assets;
};

Result<std::shared_ptr<const std::vector<Bytes>>> SignableDocument::pdfjsScripts(
    const std::optional<std::filesystem::path>& pdfjsOption) {
    auto scripts = std::make_shared<std::vector<Bytes>>();
    const std::filesystem::path pdfjs = pdfjsFolder(pdfjsOption);
    for (const char* script : kPdfjsScripts) {
        const std::filesystem::path path = pdfjs / "build" / script;
        std::error_code ec;
        if (!std::filesystem::is_regular_file(path, ec)) {
            return documentFailure(DocumentError::noPdfjs,
                                   pdfjs.string() + ": no pdf.js there (build/" + script +
                                       "): install libjs-pdf, or name its folder with --pdfjs or $" +
                                       kPdfjsVariable);
        }
        Result<Bytes> read = filesystem::readFile(path, kMaxScriptBytes, "a script");
        if (!read) {
            return read.error();
        }
        scripts->push_back(std::move(*read));
    }
    return std::shared_ptr<const std::vector<Bytes>>(std::move(scripts));
}

Result<std::shared_ptr<const SignableDocument>> SignableDocument::open(
    const host::DocumentRequest& request, const std::optional<std::filesystem::path>& pdfjs,
    const std::optional<SigningIdentity>& signer) {
    auto scripts = pdfjsScripts(pdfjs);
    if (!scripts) {
        return scripts.error();
    }
    if (!signer) {
        return documentFailure(DocumentError::needsSignKey,
                               "--document: needs --sign-key (with --sign-cert, or a "
                               "PKCS#12 file): the signed PDF is sealed with the operator key");
    }
    return made(request, host::DocumentToSign::open(request, *signer, "--sign-key", "--sign-cert"),
                std::move(*scripts));
}

Result<std::shared_ptr<const SignableDocument>> SignableDocument::fromBytes(
    const host::DocumentRequest& request, Bytes pdf,
    std::shared_ptr<const std::vector<Bytes>> scripts, const SigningIdentity& signer) {
    return made(request,
                host::DocumentToSign::fromBytes(request, std::move(pdf), signer, "--sign-key",
                                                "--sign-cert"),
                std::move(scripts));
}

Result<std::shared_ptr<const SignableDocument>> SignableDocument::made(
    const host::DocumentRequest& request,
    Result<std::shared_ptr<const host::DocumentToSign>> document,
    std::shared_ptr<const std::vector<Bytes>> scripts) {
    if (!document) {
        return document.error();
    }
    auto impl = std::make_unique<Impl>();
    impl->scripts = std::move(scripts);
    impl->document = std::move(*document);
    const host::DocumentPlace& place = impl->document->place();
    impl->place = nlohmann::json{{"page", place.page},
                                 {"rect", {place.x, place.y, place.width, place.height}},
                                 {"reason", request.reason},
                                 {"name", request.name},
                                 {"location", request.location}}
                      .dump();
    const char* script = "text/javascript; charset=utf-8";
    impl->assets = {{"/document.pdf", "application/pdf", text(impl->document->bytes())},
                    {"/document.json", "application/json", impl->place},
                    {"/pdfjs/pdf.js", script, text((*impl->scripts)[0])},
                    {"/pdfjs/pdf.worker.js", script, text((*impl->scripts)[1])}};
    return std::shared_ptr<const SignableDocument>(new SignableDocument(std::move(impl)));
}

const Sha256& SignableDocument::digest() const {
    return impl_->document->digest();
}

int SignableDocument::page() const {
    return impl_->document->place().page;
}

std::span<const WebAsset> SignableDocument::assets() const {
    return impl_->assets;
}

Result<Bytes> SignableDocument::sign(PenwellViewController& controller, const Bytes& evidence,
                                     const std::function<void(const std::string&)>& warn) const {
    return impl_->document->sign(controller, evidence, warn);
}

#else  // built without the PDF library

struct SignableDocument::Impl {
    Sha256 digest{};
    int page = 1;
};

Result<std::shared_ptr<const SignableDocument>> SignableDocument::open(
    const host::DocumentRequest&, const std::optional<std::filesystem::path>&,
    const std::optional<SigningIdentity>&) {
    return documentFailure(
        DocumentError::noPdfLibrary,
        "--document: this penwell was built without the PDF library (its compiler cannot "
        "build qpdf's headers)");
}

Result<std::shared_ptr<const SignableDocument>> SignableDocument::fromBytes(
    const host::DocumentRequest& request, Bytes, std::shared_ptr<const std::vector<Bytes>>,
    const SigningIdentity& signer) {
    return open(request, std::nullopt, signer);
}

Result<std::shared_ptr<const std::vector<Bytes>>> SignableDocument::pdfjsScripts(
    const std::optional<std::filesystem::path>&) {
    return std::shared_ptr<const std::vector<Bytes>>(std::make_shared<std::vector<Bytes>>());
}

const Sha256& SignableDocument::digest() const {
    return impl_->digest;
}

int SignableDocument::page() const {
    return impl_->page;
}

std::span<const WebAsset> SignableDocument::assets() const {
    return {};
}

Result<Bytes> SignableDocument::sign(PenwellViewController&, const Bytes&,
                                     const std::function<void(const std::string&)>&) const {
    return documentFailure(DocumentError::noPdfLibrary, "no PDF library");
}

#endif

SignableDocument::SignableDocument(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SignableDocument::~SignableDocument() = default;

}  // namespace penwell::web
