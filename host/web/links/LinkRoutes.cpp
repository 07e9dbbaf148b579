#include "penwell/host/web/links/LinkRoutes.h"

#include <nlohmann/json.hpp>

#include "penwell/host/web/WebAssets.h"
#include "penwell/host/web/links/LinkDocuments.h"
#include "penwell/host/web/links/LinkStatus.h"
#include "penwell/service/SigningService.h"

namespace penwell::web::links {

namespace {

using Json = nlohmann::json;
using service::ServiceCode;

constexpr std::string_view kPrefix = "/s/";
/// The page's own files, the same bytes as the free pad's.
constexpr std::string_view kPageFiles[] = {"/pad.js", "/pad.css", "/document.js", "/document.css",
                                           "/link.js"};
/// A decline's reason, as the trail keeps it.
constexpr std::size_t kMaxReasonBytes = 1000;

Answer owned(http::status status, std::string contentType, std::string body) {
    auto text = std::make_shared<const std::string>(std::move(body));
    return {status, std::move(contentType), *text, text, {}};
}

Answer notFound() {
    return {http::status::not_found, "text/plain", "not found\n", nullptr, {}};
}

Answer json(http::status status, const Json& value) {
    return owned(status, "application/json",
                 value.dump(-1, ' ', false, Json::error_handler_t::replace));
}

/// A failure of the service that is not the signer's: logged, and answered without its words.
Answer unavailable(const Failure& failure) {
    serverLog("signing link: " + failure.message);
    return {http::status::service_unavailable,
            "text/plain",
            "the service cannot answer now\n",
            nullptr,
            {}};
}

bool isCode(const Failure& failure, ServiceCode code) {
    return failure.domain == service::kServiceDomain &&
           failure.code == static_cast<std::int64_t>(code);
}

const WebAsset* pageAsset(std::string_view path) {
    for (const WebAsset& asset : webAssets()) {
        if (asset.path == path) {
            return &asset;
        }
    }
    return nullptr;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return std::string(text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1));
}

/// What the link shows now: its step, and the line that says why when it is not signing.
Json statusJson(Server::Impl& server, const service::LinkTarget& link) {
    const LinkStatus status =
        linkStatus(link.request, link.position, server.options.service->now());
    Json answer = {
        {"step", nameOf(status.step)}, {"text", status.text}, {"values", Json(status.values)}};
    if (!link.request.returnUrl.empty()) {
        // The integrator's page learns which request came back, and how, from its query.
        answer["returnUrl"] = link.request.returnUrl;
        answer["request"] = link.request.id;
    }
    return answer;
}

/// The page's settings for this link: the server's, and what the link shows now.
Answer configScript(Server::Impl& server, const service::LinkTarget& link) {
    Json settings = statusJson(server, link);
    const bool signing = settings["step"] == nameOf(LinkStep::sign);
    settings["signer"] = service::signerAt(link.request, link.position)->name;
    return owned(http::status::ok, "text/javascript; charset=utf-8",
                 server.pageScript + "window.penwellConfig.document = " +
                     (signing ? "true" : "false") + ";\nwindow.penwellConfig.link = " +
                     settings.dump(-1, ' ', false, Json::error_handler_t::replace) + ";\n");
}

/// The link's document, or its place, or pdf.js: only while the signer may sign.
Answer documentAsset(Server::Impl& server, const service::LinkTarget& link, std::string_view path,
                     std::optional<int> revision) {
    auto document =
        server.linkDocuments->open(*server.options.service, link.request, link.position, revision);
    if (!document) {
        return unavailable(document.error());
    }
    for (const WebAsset& asset : document->document->assets()) {
        if (asset.path == path) {
            return {http::status::ok,
                    std::string(asset.contentType),
                    asset.body,
                    document->document,
                    {}};
        }
    }
    return notFound();
}

Answer get(Server::Impl& server, const std::string& token, std::string_view rest,
           const service::Actor& actor) {
    service::SigningService& signing = *server.options.service;
    if (rest == "/") {
        // Opening the page opens the link (the trail keeps each time); a link that has nothing
        // to sign now still gets its page, which says why.
        auto opened = signing.openLink(token, actor);
        if (!opened && isCode(opened.error(), ServiceCode::storage)) {
            return unavailable(opened.error());
        }
        const WebAsset* page = pageAsset("/");
        return {http::status::ok, std::string(page->contentType), page->body, nullptr, {}};
    }
    for (const std::string_view file : kPageFiles) {
        if (rest == file) {
            const WebAsset* asset = pageAsset(file);
            return asset ? Answer{http::status::ok,
                                  std::string(asset->contentType),
                                  asset->body,
                                  nullptr,
                                  {}}
                         : notFound();
        }
    }
    auto link = signing.target(token);
    if (!link) {
        return isCode(link.error(), ServiceCode::notFound) ? notFound() : unavailable(link.error());
    }
    if (rest == "/config.js") {
        return configScript(server, *link);
    }
    if (rest == "/status.json") {
        // A page left open on a waiting link asks this, to move on once it may.
        return json(http::status::ok, statusJson(server, *link));
    }
    if (rest == "/document.pdf") {
        // The bytes handed over are the revision the trail records as shown.
        auto shown = signing.showDocument(token, actor);
        if (!shown) {
            return isCode(shown.error(), ServiceCode::storage)
                       ? unavailable(shown.error())
                       : json(http::status::forbidden, {{"error", shown.error().message}});
        }
        return documentAsset(server, *link, rest, shown->number);
    }
    if (rest == "/document.json" || rest == "/pdfjs/pdf.js" || rest == "/pdfjs/pdf.worker.js") {
        if (auto refused = service::mayDraw(link->request, link->position, signing.now())) {
            return json(http::status::forbidden, {{"error", refused->message}});
        }
        return documentAsset(server, *link, rest, std::nullopt);
    }
    return notFound();
}

/// A refused step's answer: the line the page shows, in the signer's words.
Answer refusal(Server::Impl& server, const std::string& token, const Failure& failure,
               const char* wrongInput) {
    if (isCode(failure, ServiceCode::storage)) {
        return unavailable(failure);
    }
    service::SigningService& signing = *server.options.service;
    auto link = signing.target(token);
    if (!link) {
        return isCode(link.error(), ServiceCode::notFound) ? notFound() : unavailable(link.error());
    }
    const LinkStatus status = linkStatus(link->request, link->position, signing.now());
    const bool wrong = isCode(failure, ServiceCode::forbidden) && status.step == LinkStep::code;
    return json(
        isCode(failure, ServiceCode::forbidden) ? http::status::forbidden : http::status::conflict,
        {{"text", wrong                 ? wrongInput
                  : status.text.empty() ? "linkFailed"
                                        : status.text},
         {"values", Json(status.values)}});
}

Answer post(Server::Impl& server, const std::string& token, std::string_view rest,
            std::string_view body, const service::Actor& actor) {
    service::SigningService& signing = *server.options.service;
    if (rest == "/code") {
        if (MaybeFailure refused = signing.enterAccessCode(token, trimmed(body), actor)) {
            return refusal(server, token, *refused, "accessCodeWrong");
        }
        return json(http::status::ok, {{"ok", true}});
    }
    if (rest == "/decline") {
        const std::string reason = trimmed(body);
        if (reason.empty() || reason.size() > kMaxReasonBytes) {
            return json(http::status::bad_request, {{"text", "declineNeedsReason"}});
        }
        if (auto declined = signing.decline(token, reason, actor); !declined) {
            return refusal(server, token, declined.error(), "linkFailed");
        }
        return json(http::status::ok, {{"ok", true}});
    }
    return notFound();
}

}  // namespace

bool isLinkPath(std::string_view target) {
    return target.substr(0, kPrefix.size()) == kPrefix;
}

std::string padToken(std::string_view target) {
    if (!isLinkPath(target)) {
        return {};
    }
    const std::string_view rest = target.substr(kPrefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos || rest.substr(slash) != "/ws") {
        return {};
    }
    return std::string(rest.substr(0, slash));
}

Answer answerLink(Server::Impl& server, http::verb method, std::string_view target,
                  std::string_view body, const service::Actor& actor) {
    if (!server.options.service) {
        return notFound();  // a server without --data has no links
    }
    const std::string_view path = target.substr(kPrefix.size());
    const auto slash = path.find('/');
    const std::string token(path.substr(0, slash));
    const std::string_view rest =
        slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    auto link = server.options.service->target(token);
    if (!link) {
        return isCode(link.error(), ServiceCode::notFound) ? notFound() : unavailable(link.error());
    }
    if (rest.empty()) {
        // The page loads its files relative to its own address, which ends in a slash.
        return {http::status::found, "text/plain", "", nullptr, std::string(target) + "/"};
    }
    if (method == http::verb::post) {
        return post(server, token, rest, body, actor);
    }
    if (method != http::verb::get && method != http::verb::head) {
        return {http::status::method_not_allowed, "text/plain", "GET or POST only\n", nullptr, {}};
    }
    Answer answer = get(server, token, rest, actor);
    if (method == http::verb::head) {
        answer.body = {};
    }
    return answer;
}

}  // namespace penwell::web::links
