#include "penwell/host/web/api/ApiHandlers.h"

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>

#include "penwell/host/web/ServerState.h"
#include "penwell/host/web/api/ApiJson.h"

#ifdef PENWELL_WITH_PDF
#include "penwell/pdf/Inspection.h"
#endif

namespace penwell::web::api {

namespace {

using Json = nlohmann::json;

ApiResponse answer(int status, const Json& body) {
    return {status, "application/json", jsonText(body), {}};
}

service::Actor actorOf(const ApiRequest& request) {
    return {request.address, request.userAgent};
}

/// The value of `name` in a query string ("a=1&b=2"), percent-decoded; nullopt when absent or
/// not decodable.
std::optional<std::string> queryValue(std::string_view query, std::string_view name,
                                      bool& malformed) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) != name) {
            continue;
        }
        const std::string_view raw = eq == std::string_view::npos ? "" : pair.substr(eq + 1);
        std::string value;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '+') {
                value += ' ';
            } else if (raw[i] != '%') {
                value += raw[i];
            } else {
                unsigned byte = 0;
                if (i + 2 >= raw.size() ||
                    std::from_chars(raw.data() + i + 1, raw.data() + i + 3, byte, 16).ptr !=
                        raw.data() + i + 3) {
                    malformed = true;
                    return std::nullopt;
                }
                value += static_cast<char>(byte);
                i += 2;
            }
        }
        return value;
    }
    return std::nullopt;
}

bool isJson(const std::string& contentType) {
    const std::string_view type = std::string_view(contentType).substr(0, contentType.find(';'));
    return type == "application/json";
}

}  // namespace

ApiResponse refusalOf(const Failure& failure) {
    std::string message = failure.message;
    // The store names its database file: the client is told what is wrong, not where the
    // server keeps its files.
    if (!failure.where.empty() && message.rfind(failure.where + ": ", 0) == 0) {
        message.erase(0, failure.where.size() + 2);
    }
    if (failure.domain != service::kServiceDomain) {
        return refusal(400, "invalid_request", failure.message);
    }
    switch (static_cast<service::ServiceCode>(failure.code)) {
        case service::ServiceCode::notFound:
            return refusal(404, "not_found", message);
        case service::ServiceCode::conflict:
            return refusal(409, "conflict", message);
        case service::ServiceCode::invalid:
            return refusal(400, "invalid_request", message);
        case service::ServiceCode::forbidden:
            return refusal(403, "forbidden", message);
        case service::ServiceCode::storage:
        case service::ServiceCode::schema:
            break;
    }
    serverLog("the API could not use the store: " + failure.message);
    return refusal(500, "storage", "the service could not use its storage; see its log");
}

ApiResponse postDocument(const Call& call) {
    const std::string type = call.request.contentType.substr(0, call.request.contentType.find(';'));
    if (type != "application/pdf") {
        return refusal(415, "unsupported_media_type",
                       "a document is sent as Content-Type: application/pdf");
    }
    const ByteView pdf(reinterpret_cast<const std::uint8_t*>(call.request.body.data()),
                       call.request.body.size());
#ifdef PENWELL_WITH_PDF
    auto inspected = pdf::inspectForSigning(pdf, "document.pdf");
    if (!inspected) {
        return refusal(422, "document_refused", inspected.error().message);
    }
    // Refused now rather than after everyone signed: the completed document's audit trail
    // could not be attached and sealed.
    if (!inspected->sealRefusal.empty()) {
        return refusal(422, "document_refused", inspected->sealRefusal);
    }
    auto document = call.service.addDocument(pdf, inspected->pages);
    if (!document) {
        return refusalOf(document.error());
    }
    Json fields = Json::array();
    for (const pdf::SignatureField& field : inspected->fields) {
        fields.push_back({{"name", field.name},
                          {"page", field.page},
                          {"rect", {field.x, field.y, field.width, field.height}},
                          {"signed", field.isSigned}});
    }
    return answer(201, {{"id", document->id},
                        {"sha256", document->sha256},
                        {"size", document->size},
                        {"pages", document->pages},
                        {"fields", std::move(fields)}});
#else
    (void)pdf;
    return refusal(501, "no_pdf_library", "this penwell was built without the PDF library");
#endif
}

ApiResponse postRequest(const Call& call) {
    if (!isJson(call.request.contentType)) {
        return refusal(415, "unsupported_media_type",
                       "a request is sent as Content-Type: application/json");
    }
    auto spec = readRequestSpec(call.request.body, service::systemClock()());
    if (!spec) {
        return refusal(400, "invalid_request", spec.error().message);
    }
    auto document = call.service.store().document(spec->documentId);
    if (!document) {
        return refusalOf(document.error());
    }
    std::vector<std::pair<std::size_t, std::string>> fieldsNamed;  // signer, field
    for (std::size_t i = 0; i < spec->signers.size(); ++i) {
        const Json place = Json::parse(spec->signers[i].placement);
        const std::string where = "signers[" + std::to_string(i) + "].place";
        if (place.contains("page") && place["page"].get<int>() > document->pages) {
            return refusal(400, "invalid_request",
                           where + ".page: the document has " + std::to_string(document->pages) +
                               " pages");
        }
        if (place.contains("field")) {
            const std::string name = place["field"].get<std::string>();
            if (std::any_of(fieldsNamed.begin(), fieldsNamed.end(),
                            [&](const auto& named) { return named.second == name; })) {
                return refusal(400, "invalid_request",
                               where + ".field: another signer signs in " + name + " already");
            }
            fieldsNamed.emplace_back(i, name);
        }
    }
#ifdef PENWELL_WITH_PDF
    // A field the document lacks, or one signed already, would only be found when that signer
    // signs: the earlier signers' work would be lost to a request that cannot complete.
    if (!fieldsNamed.empty()) {
        auto bytes = call.service.store().documentBytes(spec->documentId);
        if (!bytes) {
            return refusalOf(bytes.error());
        }
        auto inspected = pdf::inspectForSigning(*bytes, "document.pdf");
        if (!inspected) {
            return refusal(422, "document_refused", inspected.error().message);
        }
        for (const auto& [i, name] : fieldsNamed) {
            const auto field = std::find_if(
                inspected->fields.begin(), inspected->fields.end(),
                [&](const pdf::SignatureField& f) { return f.name == name; });
            const std::string where = "signers[" + std::to_string(i) + "].place.field";
            if (field == inspected->fields.end()) {
                return refusal(400, "invalid_request",
                               where + ": the document has no signature field " + name);
            }
            if (field->isSigned) {
                return refusal(400, "invalid_request",
                               where + ": the signature field " + name + " is signed already");
            }
        }
    }
#endif
    auto created = call.service.createRequest(*spec, actorOf(call.request));
    if (!created) {
        return refusalOf(created.error());
    }
    std::vector<std::string> links;
    for (const std::string& token : created->linkTokens) {
        links.push_back(call.origin + "/s/" + token);
    }
    return answer(201, requestJson(created->request, links));
}

ApiResponse getRequest(const Call& call) {
    auto request = call.service.store().request(call.ids.at(0));
    return request ? answer(200, requestJson(*request)) : refusalOf(request.error());
}

ApiResponse listRequests(const Call& call) {
    bool malformed = false;
    const std::string_view query = call.request.query;
    const auto state = queryValue(query, "state", malformed);
    const auto after = queryValue(query, "after", malformed);
    const auto limitText = queryValue(query, "limit", malformed);
    if (malformed) {
        return refusal(400, "invalid_query", "a query value is not percent-encoded right");
    }
    std::optional<service::RequestState> wanted;
    if (state && !state->empty()) {
        wanted = service::requestStateNamed(*state);
        if (!wanted) {
            return refusal(400, "invalid_query",
                           "state: expected pending, completed, declined, expired or cancelled");
        }
    }
    int limit = kDefaultPage;
    if (limitText) {
        const char* end = limitText->data() + limitText->size();
        if (std::from_chars(limitText->data(), end, limit).ptr != end || limit < 1 ||
            limit > kMaxPage) {
            return refusal(400, "invalid_query",
                           "limit: expected a number from 1 to " + std::to_string(kMaxPage));
        }
    }
    auto page = call.service.store().listRequests(wanted, after.value_or(""), limit);
    if (!page) {
        return refusalOf(page.error());
    }
    Json list = Json::array();
    for (const service::Request& request : *page) {
        list.push_back(requestJson(request));
    }
    // A full page may have more after it; the client asks again with after=next.
    const bool full = static_cast<int>(page->size()) == limit;
    return answer(200, {{"requests", std::move(list)},
                        {"next", full ? Json(page->back().id) : Json(nullptr)}});
}

ApiResponse getRequestDocument(const Call& call) {
    const std::string& id = call.ids.at(0);
    auto request = call.service.store().request(id);
    if (!request) {
        return refusalOf(request.error());
    }
    // Gone for good, not missing: the client learns that asking again will not help.
    if (request->purgedAt) {
        return refusal(410, "purged",
                       "the documents of request " + id +
                           " were deleted after the retention period");
    }
    auto revisions = call.service.store().revisions(id);
    if (!revisions) {
        return refusalOf(revisions.error());
    }
    auto bytes = call.service.store().revisionBytes(id, revisions->back().number);
    if (!bytes) {
        return refusalOf(bytes.error());
    }
    ApiResponse response{200, "application/pdf", std::string(bytes->begin(), bytes->end()), {}};
    response.headers.emplace_back("X-Penwell-Revision", std::to_string(revisions->back().number));
    response.headers.emplace_back("X-Penwell-Sha256", revisions->back().sha256);
    return response;
}

ApiResponse getAudit(const Call& call) {
    auto events = call.service.store().auditTrail(call.ids.at(0));
    return events ? answer(200, auditJson(call.ids.at(0), *events)) : refusalOf(events.error());
}

ApiResponse cancelRequest(const Call& call) {
    auto cancelled = call.service.cancel(call.ids.at(0), actorOf(call.request));
    return cancelled ? answer(200, requestJson(*cancelled)) : refusalOf(cancelled.error());
}

}  // namespace penwell::web::api
