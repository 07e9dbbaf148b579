#include "penwell/host/web/api/ApiJson.h"

#include "penwell/json/JsonReader.h"
#include "penwell/platform/Bytes.h"
#include "penwell/service/AuditChain.h"

namespace penwell::web::api {

namespace {

namespace reader = penwell::json;
using Json = nlohmann::json;

Json time(const std::optional<service::TimeMs>& t) {
    return t ? Json(*t) : Json(nullptr);
}

/// The placement as stored, which the API wrote itself: JSON text of one object.
Json placeJson(const std::string& placement) {
    Json place = Json::parse(placement, nullptr, false);
    return place.is_discarded() ? Json(nullptr) : place;
}

Json signerJson(const service::Signer& signer) {
    return {{"position", signer.position},
            {"name", signer.name},
            {"email", signer.email},
            {"place", placeJson(signer.placement)},
            {"reason", signer.reason},
            {"location", signer.location},
            {"accessCode", signer.hasAccessCode},
            {"state", service::nameOf(signer.state)},
            {"openedAt", time(signer.openedAt)},
            {"signedAt", time(signer.signedAt)},
            {"declinedAt", time(signer.declinedAt)},
            {"declineReason", signer.declineReason}};
}

/// A text field of at most kMaxTextBytes; empty when absent.
std::string text(const Json& v, const std::string& where, std::string_view key) {
    const Json* found = reader::find(v, key);
    if (found == nullptr) {
        return {};
    }
    std::string value = reader::string(*found, reader::join(where, key));
    if (value.size() > kMaxTextBytes) {
        reader::fail(reader::join(where, key),
                     "longer than " + std::to_string(kMaxTextBytes) + " bytes");
    }
    return value;
}

/// {"field": NAME} or {"page": N, "rect": [x, y, width, height]} in points from the lower-left
/// corner of the page's crop box, as `pdf sign` places a signature.
std::string readPlace(const Json& v, const std::string& where) {
    reader::object(v, where);
    reader::onlyKeys(v, where, {"field", "page", "rect"});
    const Json* field = reader::find(v, "field");
    const Json* page = reader::find(v, "page");
    const Json* rect = reader::find(v, "rect");
    if (field != nullptr) {
        if (page != nullptr || rect != nullptr) {
            reader::fail(where, "give either \"field\" or \"page\" with \"rect\", not both");
        }
        const std::string name = text(v, where, "field");
        if (name.empty()) {
            reader::fail(reader::join(where, "field"), "an empty field name");
        }
        return Json{{"field", name}}.dump();
    }
    if (page == nullptr || rect == nullptr) {
        reader::fail(where, "needs \"field\", or \"page\" with \"rect\"");
    }
    const std::int64_t pageNumber =
        reader::integer(*page, reader::join(where, "page"), 1, 1'000'000);
    const std::string rectWhere = reader::join(where, "rect");
    if (!rect->is_array() || rect->size() != 4) {
        reader::fail(rectWhere, "expected [x, y, width, height] in points");
    }
    std::vector<double> r;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool size = i >= 2;
        r.push_back(
            reader::number((*rect)[i], reader::at(rectWhere, i), size ? 1.0 : 0.0, 14'400.0));
    }
    return Json{{"page", pageNumber}, {"rect", r}}.dump();
}

service::SignerSpec readSigner(const Json& v, const std::string& where) {
    reader::object(v, where);
    reader::onlyKeys(v, where, {"name", "place", "reason", "location", "email", "accessCode"});
    service::SignerSpec signer;
    reader::require(v, where, "name");
    signer.name = text(v, where, "name");
    signer.placement = readPlace(reader::require(v, where, "place"), reader::join(where, "place"));
    signer.reason = text(v, where, "reason");
    signer.location = text(v, where, "location");
    signer.email = text(v, where, "email");
    signer.accessCode = text(v, where, "accessCode");
    if (reader::find(v, "accessCode") != nullptr && signer.accessCode.empty()) {
        reader::fail(reader::join(where, "accessCode"),
                     "an empty access code; leave it out for none");
    }
    return signer;
}

std::string readWebhook(const Json& v) {
    std::string url = reader::string(v, "webhook");
    const bool web = url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0;
    if (!web || url.size() > kMaxUrlBytes || url.find_first_of(" \t\r\n") != std::string::npos) {
        reader::fail("webhook", "expected an http:// or https:// URL of at most " +
                                    std::to_string(kMaxUrlBytes) + " bytes");
    }
    return url;
}

}  // namespace

Json requestJson(const service::Request& request, const std::vector<std::string>& links) {
    Json signers = Json::array();
    for (std::size_t i = 0; i < request.signers.size(); ++i) {
        Json signer = signerJson(request.signers[i]);
        if (i < links.size()) {
            signer["link"] = links[i];
        }
        signers.push_back(std::move(signer));
    }
    Json metadata = Json::parse(request.metadata, nullptr, false);
    return {{"id", request.id},
            {"document", request.documentId},
            {"state", service::nameOf(request.state)},
            {"createdAt", request.createdAt},
            {"expiresAt", request.expiresAt},
            {"endedAt", time(request.endedAt)},
            {"webhook", request.webhookUrl.empty() ? Json(nullptr) : Json(request.webhookUrl)},
            {"metadata", metadata.is_discarded() ? Json(nullptr) : metadata},
            {"signers", std::move(signers)}};
}

Json auditJson(const std::string& requestId, const std::vector<service::AuditEvent>& events) {
    Json list = Json::array();
    for (const service::AuditEvent& e : events) {
        list.push_back({{"sequence", e.sequence},
                        {"time", e.time},
                        {"type", e.type},
                        {"signer", e.signer},
                        {"detail", e.detail},
                        {"address", e.actor.address},
                        {"userAgent", e.actor.userAgent},
                        {"previousHash", hexDigits(e.previousHash)},
                        {"hash", hexDigits(e.hash)}});
    }
    const std::optional<service::ChainBreak> broken = service::verifyChain(requestId, events);
    return {{"request", requestId},
            {"events", std::move(list)},
            {"chainIntact", !broken},
            {"chainBreak", broken ? Json(broken->message) : Json(nullptr)}};
}

Result<service::RequestSpec> readRequestSpec(const std::string& body, service::TimeMs now) {
    return reader::read(body, [&](const Json& doc) {
        reader::object(doc, "");
        reader::onlyKeys(doc, "",
                         {"document", "signers", "expiresAt", "expiresIn", "webhook", "metadata"});
        service::RequestSpec spec;
        spec.documentId = reader::string(reader::require(doc, "", "document"), "document");
        const Json& signers = reader::require(doc, "", "signers");
        if (!signers.is_array() || signers.empty() || signers.size() > kMaxSigners) {
            reader::fail("signers", "expected a list of 1 to " + std::to_string(kMaxSigners) +
                                        " signers, in signing order");
        }
        for (std::size_t i = 0; i < signers.size(); ++i) {
            spec.signers.push_back(readSigner(signers[i], reader::at("signers", i)));
        }
        const Json* at = reader::find(doc, "expiresAt");
        const Json* in = reader::find(doc, "expiresIn");
        if ((at == nullptr) == (in == nullptr)) {
            reader::fail("",
                         "give one of \"expiresAt\" (ms since 1970, UTC) and \"expiresIn\" "
                         "(seconds from now)");
        }
        // At most ten years: an expiry is a promise the service keeps every signer's link to.
        constexpr std::int64_t kTenYearsSeconds = 10ll * 366 * 24 * 3600;
        spec.expiresAt =
            at != nullptr
                ? reader::integer(*at, "expiresAt", now + 1, now + kTenYearsSeconds * 1000)
                : now + 1000 * reader::integer(*in, "expiresIn", 1, kTenYearsSeconds);
        if (const Json* webhook = reader::find(doc, "webhook")) {
            spec.webhookUrl = readWebhook(*webhook);
        }
        if (const Json* metadata = reader::find(doc, "metadata")) {
            reader::object(*metadata, "metadata");
            spec.metadata = metadata->dump();
            if (spec.metadata.size() > kMaxMetadataBytes) {
                reader::fail("metadata", "longer than " + std::to_string(kMaxMetadataBytes) +
                                             " bytes as compact JSON");
            }
        } else {
            spec.metadata = "{}";
        }
        return spec;
    });
}

}  // namespace penwell::web::api
