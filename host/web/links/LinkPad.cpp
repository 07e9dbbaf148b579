#include "penwell/host/web/links/LinkPad.h"

#include "penwell/host/common/SignatureBundle.h"
#include "penwell/host/web/Server.h"
#include "penwell/platform/openssl/Digests.h"
#include "penwell/service/Rules.h"

namespace penwell::web::links {

namespace {

/// Whether a message changes what the pad holds or how Done signs: those are stored. A
/// snapshot only asks for a picture, and Done is answered by the signature itself.
bool changesThePad(MessageType type) {
    return type != MessageType::snapshot && type != MessageType::done;
}

ByteView bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

std::string padKeyOf(std::string_view token) {
    const std::string keyed = "penwell link pad\n" + std::string(token);
    return hexDigits(openssl::sha256(bytesOf(keyed)));
}

Result<std::shared_ptr<LinkPad>> LinkPad::open(std::shared_ptr<service::SigningService> service,
                                               LinkDocuments& documents, const PadSettings& base,
                                               std::string token, service::Actor actor) {
    auto link = service->target(token);
    if (!link) {
        return link.error();
    }
    if (auto refused = service::mayDraw(link->request, link->position, service->now())) {
        return *refused;
    }
    auto document = documents.open(*service, link->request, link->position);
    if (!document) {
        return document.error();
    }
    std::shared_ptr<LinkPad> pad(new LinkPad());
    pad->service_ = service;
    pad->token_ = std::move(token);
    pad->key_ = padKeyOf(pad->token_);
    pad->revision_ = document->revision;
    pad->settings_ = base;
    pad->settings_.document = document->document;
    pad->settings_.out.reset();  // the signature goes to the store, not to files
    pad->settings_.fields.push_back({kRequestField, link->request.id});
    if (!link->request.metadata.empty()) {
        pad->settings_.fields.push_back({kMetadataField, link->request.metadata});
    }
    const int revision = document->revision;
    pad->settings_.deliver = [service, token = pad->token_, actor = std::move(actor), revision,
                              sealer = documents.sealer(link->request.id)](
                                 const host::SignatureBundle& bundle) -> MaybeFailure {
        if (!bundle.signedDocument) {
            return Failure{kLinkDocumentDomain, 0, "Done made no signed document"};
        }
        // Refused, rather than signed, when another signature came first: the signer signs
        // only what they were shown.
        auto signedRequest = service->sign(token, *bundle.signedDocument, actor, revision);
        if (!signedRequest) {
            return signedRequest.error();
        }
        if (signedRequest->state == service::RequestState::kCompleted && sealer) {
            // The last signer's signature stands whatever becomes of the seal: a failure here
            // is the operator's to see, not the signer's.
            if (auto sealed = service->seal(signedRequest->id, sealer, actor); !sealed) {
                serverLog("request " + signedRequest->id +
                          ": not sealed: " + sealed.error().message);
            }
        }
        return std::nullopt;
    };
    return pad;
}

Result<std::optional<std::int64_t>> LinkPad::toKeep(std::string_view text) const {
    Result<ClientMessage> message = parseClientMessage(text, settings_.limits);
    if (!message || !changesThePad(message->type)) {
        return std::optional<std::int64_t>();  // the session refuses a malformed one itself
    }
    if (!message->seq) {
        return Failure{kProtocolErrorDomain, static_cast<std::int64_t>(ProtocolFault::malformed),
                       "seq: needed on a signing link, so that the message can be acknowledged"};
    }
    const auto sequence = static_cast<std::int64_t>(*message->seq);
    if (sequence <= lastKept_) {
        return std::optional<std::int64_t>();  // stored already; the session ignores it as taken
    }
    return std::optional<std::int64_t>(sequence);
}

MaybeFailure LinkPad::restore(SigningSession& session) {
    auto stored = service_->samples(token_);
    if (!stored) {
        return stored.error();
    }
    for (const service::SampleBatch& batch : *stored) {
        const std::string_view text(reinterpret_cast<const char*>(batch.samples.data()),
                                    batch.samples.size());
        if (MaybeFailure refused = session.receive(text)) {
            return Failure{
                refused->domain, refused->code,
                "stored message " + std::to_string(batch.sequence) + ": " + refused->message};
        }
        lastKept_ = std::max(lastKept_, batch.sequence);
    }
    return std::nullopt;
}

}  // namespace penwell::web::links
