#include "penwell/host/web/api/ApiJson.h"

#include "penwell/json/JsonReader.h"
#include "penwell/platform/curl/CurlUrl.h"
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
std::string text(reader::Reading& r, const Json& v, const std::string& where,
                 std::string_view key) {
    const Json* found = reader::find(v, key);
    if (found == nullptr) {
        return {};
    }
    std::string value = r.string(*found, reader::join(where, key));
    if (value.size() > kMaxTextBytes) {
        r.fail(reader::join(where, key), "longer than " + std::to_string(kMaxTextBytes) + " bytes");
        return {};
    }
    return value;
}

/// {"field": NAME} or {"page": N, "rect": [x, y, width, height]} in points from the lower-left
/// corner of the page's crop box, as `pdf sign` places a signature.
std::string readPlace(reader::Reading& r, const Json& v, const std::string& where) {
    r.object(v, where);
    r.onlyKeys(v, where, {"field", "page", "rect"});
    const Json* field = reader::find(v, "field");
    const Json* page = reader::find(v, "page");
    const Json* rect = reader::find(v, "rect");
    if (field != nullptr) {
        if (page != nullptr || rect != nullptr) {
            r.fail(where, "give either \"field\" or \"page\" with \"rect\", not both");
        }
        const std::string name = text(r, v, where, "field");
        if (name.empty()) {
            r.fail(reader::join(where, "field"), "an empty field name");
        }
        return Json{{"field", name}}.dump();
    }
    if (page == nullptr || rect == nullptr) {
        r.fail(where, "needs \"field\", or \"page\" with \"rect\"");
        return {};
    }
    const std::int64_t pageNumber = r.integer(*page, reader::join(where, "page"), 1, 1'000'000);
    const std::string rectWhere = reader::join(where, "rect");
    if (!rect->is_array() || rect->size() != 4) {
        r.fail(rectWhere, "expected [x, y, width, height] in points");
        return {};
    }
    std::vector<double> box;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool size = i >= 2;
        box.push_back(r.number((*rect)[i], reader::at(rectWhere, i), size ? 1.0 : 0.0, 14'400.0));
    }
    return Json{{"page", pageNumber}, {"rect", box}}.dump();
}

service::SignerSpec readSigner(reader::Reading& r, const Json& v, const std::string& where) {
    r.object(v, where);
    r.onlyKeys(v, where, {"name", "place", "reason", "location", "email", "accessCode"});
    service::SignerSpec signer;
    r.require(v, where, "name");
    signer.name = text(r, v, where, "name");
    signer.placement = readPlace(r, r.require(v, where, "place"), reader::join(where, "place"));
    signer.reason = text(r, v, where, "reason");
    signer.location = text(r, v, where, "location");
    signer.email = text(r, v, where, "email");
    signer.accessCode = text(r, v, where, "accessCode");
    if (reader::find(v, "accessCode") != nullptr && signer.accessCode.empty()) {
        r.fail(reader::join(where, "accessCode"), "an empty access code; leave it out for none");
    }
    return signer;
}

std::string readWebhook(reader::Reading& r, const Json& v) {
    std::string url = r.string(v, "webhook");
    const bool web = url.rfind("https://", 0) == 0 || url.rfind("http://", 0) == 0;
    if (!web || url.size() > kMaxUrlBytes || url.find_first_of(" \t\r\n") != std::string::npos) {
        r.fail("webhook", "expected an http:// or https:// URL of at most " +
                              std::to_string(kMaxUrlBytes) + " bytes");
        return {};
    }
    return url;
}

/// The integrator's page a signer's browser is sent to: https, or http to this machine only
/// (a portal under development), so a link's page never sends its signer to a plain-text page
/// elsewhere; a URL libcurl reads, so the browser reads it the same way.
std::string readReturnUrl(reader::Reading& r, const Json& v) {
    std::string url = r.string(v, "returnUrl");
    const std::string expected = "expected an https:// URL (http:// only to localhost) of at most " +
                                 std::to_string(kMaxUrlBytes) + " bytes";
    if (!r.ok()) {
        return {};
    }
    if (url.size() > kMaxUrlBytes) {
        r.fail("returnUrl", expected);
        return {};
    }
    const Result<curl::WebUrl> parsed = curl::parseWebUrl(url);
    if (!parsed) {
        r.fail("returnUrl", expected + ": " + parsed.error().message);
        return {};
    }
    if (parsed->scheme != "https" && !curl::isLoopbackHost(parsed->host)) {
        r.fail("returnUrl", expected);
        return {};
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
            {"returnUrl", request.returnUrl.empty() ? Json(nullptr) : Json(request.returnUrl)},
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
    return reader::read(body, [&](reader::Reading& r, const Json& doc) {
        r.object(doc, "");
        r.onlyKeys(doc, "",
                   {"document", "signers", "expiresAt", "expiresIn", "webhook", "metadata",
                    "returnUrl"});
        service::RequestSpec spec;
        spec.documentId = r.string(r.require(doc, "", "document"), "document");
        const Json& signers = r.require(doc, "", "signers");
        if (!signers.is_array() || signers.empty() || signers.size() > kMaxSigners) {
            r.fail("signers", "expected a list of 1 to " + std::to_string(kMaxSigners) +
                                  " signers, in signing order");
            return spec;
        }
        for (std::size_t i = 0; r.ok() && i < signers.size(); ++i) {
            spec.signers.push_back(readSigner(r, signers[i], reader::at("signers", i)));
        }
        const Json* at = reader::find(doc, "expiresAt");
        const Json* in = reader::find(doc, "expiresIn");
        if ((at == nullptr) == (in == nullptr)) {
            r.fail("",
                   "give one of \"expiresAt\" (ms since 1970, UTC) and \"expiresIn\" "
                   "(seconds from now)");
            return spec;
        }
        // At most ten years: an expiry is a promise the service keeps every signer's link to.
        constexpr std::int64_t kTenYearsSeconds = 10ll * 366 * 24 * 3600;
        spec.expiresAt = at != nullptr
                             ? r.integer(*at, "expiresAt", now + 1, now + kTenYearsSeconds * 1000)
                             : now + 1000 * r.integer(*in, "expiresIn", 1, kTenYearsSeconds);
        if (const Json* webhook = reader::find(doc, "webhook")) {
            spec.webhookUrl = readWebhook(r, *webhook);
        }
        if (const Json* returnUrl = reader::find(doc, "returnUrl")) {
            spec.returnUrl = readReturnUrl(r, *returnUrl);
        }
        if (const Json* metadata = reader::find(doc, "metadata")) {
            spec.metadata = r.object(*metadata, "metadata").dump();
            if (spec.metadata.size() > kMaxMetadataBytes) {
                r.fail("metadata", "longer than " + std::to_string(kMaxMetadataBytes) +
                                       " bytes as compact JSON");
            }
        } else {
            spec.metadata = "{}";
        }
        return spec;
    });
}

}  // namespace penwell::web::api
