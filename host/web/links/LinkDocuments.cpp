#include "penwell/host/web/links/LinkDocuments.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "penwell/service/Rules.h"

#ifdef PENWELL_WITH_PDF
#include "penwell/host/common/AuditTrailSeal.h"
#endif

namespace penwell::web::links {

namespace {

/// Documents kept open; past it the cache starts again (a link's pages ask within seconds).
constexpr std::size_t kKeptDocuments = 32;

Failure failure(LinkDocumentError code, std::string message) {
    return Failure{kLinkDocumentDomain, static_cast<std::int64_t>(code), std::move(message)};
}

}  // namespace

Result<host::DocumentRequest> documentRequestFor(const service::Signer& signer) {
    host::DocumentRequest request;
    request.file = "the document of signer " + std::to_string(signer.position);
    request.reason = signer.reason;
    request.location = signer.location;
    request.name = signer.name;
    const auto wrong = [&](const std::string& why) {
        return failure(LinkDocumentError::noPlace,
                       "signer " + std::to_string(signer.position) + "'s place: " + why);
    };
    const nlohmann::json place = nlohmann::json::parse(signer.placement, nullptr, false);
    if (!place.is_object()) {
        return wrong("not a JSON object");
    }
    if (const auto field = place.find("field"); field != place.end()) {
        if (!field->is_string() || field->get<std::string>().empty()) {
            return wrong("\"field\" must be a field's name");
        }
        request.field = field->get<std::string>();
        return request;
    }
    const auto page = place.find("page");
    const auto rect = place.find("rect");
    if (page == place.end() || !page->is_number_integer() || page->get<std::int64_t>() < 1 ||
        page->get<std::int64_t>() > 1'000'000) {
        return wrong("\"page\" must be a page number from 1");
    }
    request.page = static_cast<int>(page->get<std::int64_t>());
    if (rect != place.end() && rect->is_string()) {
        request.rect = rect->get<std::string>();  // the PDF library checks it as `pdf sign` does
        return request;
    }
    if (rect == place.end() || !rect->is_array() || rect->size() != 4) {
        return wrong("\"rect\" must be [x, y, width, height]");
    }
    std::string text;
    for (const auto& number : *rect) {
        if (!number.is_number() || !std::isfinite(number.get<double>())) {
            return wrong("\"rect\" must hold four numbers");
        }
        char one[32];
        std::snprintf(one, sizeof one, "%.17g", number.get<double>());
        text += (text.empty() ? "" : ",") + std::string(one);
    }
    request.rect = text;
    return request;
}

LinkDocuments::LinkDocuments(std::optional<std::filesystem::path> pdfjs,
                             std::optional<SigningIdentity> signer, LongTerm longTerm)
    : pdfjs_(std::move(pdfjs)), signer_(std::move(signer)), longTerm_(std::move(longTerm)) {
#ifdef PENWELL_WITH_PDF
    if (signer_) {
        auto identity = pdf::SigningIdentity::fromOperator(*signer_, "--sign-key", "--sign-cert");
        if (identity) {
            sealIdentity_ = std::make_shared<const pdf::SigningIdentity>(std::move(*identity));
        } else {
            sealIdentityFailure_ = identity.error();
        }
    }
#endif
}

service::SigningService::Sealer LinkDocuments::sealer(const std::string& requestId) const {
#ifdef PENWELL_WITH_PDF
    if (sealIdentityFailure_) {
        return [failed = *sealIdentityFailure_](
                   ByteView, const std::vector<service::AuditEvent>&) -> Result<Bytes> {
            return failed;
        };
    }
    if (sealIdentity_) {
        std::optional<host::LongTermSeal> longTerm;
        if (longTerm_.tsa) {
            longTerm = host::LongTermSeal{*longTerm_.tsa, longTerm_.http, longTerm_.trust};
        }
        return [identity = sealIdentity_, requestId, longTerm](
                   ByteView latest, const std::vector<service::AuditEvent>& trail) {
            return host::sealAuditTrail(latest, "request " + requestId, requestId, trail, *identity,
                                        std::nullopt, longTerm ? &*longTerm : nullptr);
        };
    }
#else
    (void)requestId;
#endif
    return nullptr;
}

Result<LinkDocument> LinkDocuments::open(service::SigningService& service,
                                         const service::Request& request, int position,
                                         std::optional<int> number) {
    if (!signer_) {
        return failure(LinkDocumentError::noSignKey,
                       "signing links need --sign-key: each signature is sealed with the "
                       "operator key");
    }
    const service::Signer& signer = *service::signerAt(request, position);
    if (!number) {
        auto revisions = service.store().revisions(request.id);
        if (!revisions) {
            return revisions.error();
        }
        if (revisions->empty()) {
            return Failure{service::kServiceDomain,
                           static_cast<std::int64_t>(service::ServiceCode::storage),
                           "request " + request.id + " has no document"};
        }
        number = revisions->back().number;
    }
    const std::pair<std::int64_t, int> key{signer.id, *number};
    std::unique_lock lock(mutex_);
    if (const auto kept = opened_.find(key); kept != opened_.end()) {
        return LinkDocument{kept->second, *number};
    }
    if (!scripts_) {
        auto scripts = SignableDocument::pdfjsScripts(pdfjs_);
        if (!scripts) {
            return scripts.error();
        }
        scripts_ = std::move(*scripts);
    }
    const auto scripts = scripts_;
    lock.unlock();  // reading and checking a large PDF holds up no other link

    auto documentRequest = documentRequestFor(signer);
    if (!documentRequest) {
        return documentRequest.error();
    }
    documentRequest->file = request.id + " revision " + std::to_string(*number);
    documentRequest->tsa = longTerm_.tsa;
    documentRequest->http = longTerm_.http;
    auto bytes = service.store().revisionBytes(request.id, *number);
    if (!bytes) {
        return bytes.error();
    }
    auto document =
        SignableDocument::fromBytes(*documentRequest, std::move(*bytes), scripts, *signer_);
    if (!document) {
        return document.error();
    }
    lock.lock();
    if (opened_.size() >= kKeptDocuments) {
        opened_.clear();
    }
    opened_.emplace(key, *document);
    return LinkDocument{std::move(*document), *number};
}

}  // namespace penwell::web::links
