#pragma once
// The document a signing link shows and signs: a revision of its request (the document as
// signed so far), with the signer's place, reason, name and location, opened as `serve
// --document` opens its file, so that Done signs it on the one signing path. Opened documents
// are kept for a while: a page asks for the PDF, its place and pdf.js, and its pad for the
// same again.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "penwell/host/common/DocumentRequest.h"
#include "penwell/host/web/SignableDocument.h"
#include "penwell/service/SigningService.h"

namespace penwell::pdf {
class SigningIdentity;
}

namespace penwell::web::links {

/// Domain of a link's document that cannot be opened; the code is LinkDocumentError.
inline constexpr const char* kLinkDocumentDomain = "PenwellWebLinkDocument";

enum class LinkDocumentError : int {
    noPlace = 1,    ///< the signer's place is not one this server understands
    noSignKey = 2,  ///< serve runs without --sign-key
};

/// A time-stamp authority for the signers' signatures (B-T) and the seal (B-LTA with `trust`);
/// none: B-B signatures and a B-B seal.
struct LongTerm {
    std::optional<std::string> tsa;
    std::shared_ptr<HttpClient> http;
    std::vector<Bytes> trust;
};

/// A revision opened for one signer.
struct LinkDocument {
    std::shared_ptr<const SignableDocument> document;
    int revision = 0;
};

/// The signer's place as the request keeps it: {"field": "NAME"} for an existing empty
/// signature field, or {"page": N, "rect": [x, y, width, height]} (or "x,y,w,h") for a new one
/// in points from the page's lower-left corner. Fails naming what is wrong.
Result<host::DocumentRequest> documentRequestFor(const service::Signer& signer);

class LinkDocuments {
public:
    LinkDocuments(std::optional<std::filesystem::path> pdfjs,
                  std::optional<SigningIdentity> signer, LongTerm longTerm = {});

    /// Revision `number` of the request, or its latest when nullopt, for the signer at
    /// `position`. Fails with the store's failure, the place's, or the PDF library's refusal.
    Result<LinkDocument> open(service::SigningService& service, const service::Request& request,
                              int position, std::optional<int> number = std::nullopt);

    /// What seals a completed request (the trail attached to its last revision and signed by
    /// the operator's identity, time-stamped by `tsa` when given); nil in a build without
    /// the PDF library or without --sign-key.
    service::SigningService::Sealer sealer(const std::string& requestId) const;

private:
    std::optional<std::filesystem::path> pdfjs_;
    std::optional<SigningIdentity> signer_;
    /// signer_ read once for every seal (with the PDF library), or why it could not be.
    std::shared_ptr<const pdf::SigningIdentity> sealIdentity_;
    MaybeFailure sealIdentityFailure_;
    LongTerm longTerm_;
    std::mutex mutex_;
    std::shared_ptr<const std::vector<Bytes>> scripts_;  // read once, on first use
    /// By signer id and revision number.
    std::map<std::pair<std::int64_t, int>, std::shared_ptr<const SignableDocument>> opened_;
};

}  // namespace penwell::web::links
