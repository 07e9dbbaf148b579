#include "penwell/service/SigningService.h"

#include "penwell/platform/openssl/Digests.h"

namespace penwell::service {
namespace {

Failure failure(ServiceCode code, std::string message) {
    return Failure(kServiceDomain, static_cast<std::int64_t>(code), std::move(message));
}

}  // namespace

SigningService::SigningService(std::shared_ptr<SigningStore> store, Clock clock,
                               std::uint32_t accessCodeRounds)
    : store_(std::move(store)), clock_(std::move(clock)), accessCodeRounds_(accessCodeRounds) {}

Result<Document> SigningService::addDocument(ByteView pdf, int pages) {
    Document document{newId("doc_"), hexDigits(openssl::sha256(pdf)),
                      static_cast<std::int64_t>(pdf.size()), pages, clock_()};
    if (auto failed = store_->addDocument(document, pdf)) {
        return *failed;
    }
    return document;
}

Result<CreatedRequest> SigningService::createRequest(const RequestSpec& spec, const Actor& actor) {
    const TimeMs now = clock_();
    if (spec.signers.empty()) {
        return failure(ServiceCode::invalid, "A request needs at least one signer");
    }
    if (spec.expiresAt <= now) {
        return failure(ServiceCode::invalid, "The expiry must be in the future");
    }
    NewRequest request{newId("req_"),   spec.documentId, now, spec.expiresAt,
                       spec.webhookUrl, spec.metadata,   {},  actor,
                       spec.returnUrl};
    CreatedRequest created;
    for (std::size_t i = 0; i < spec.signers.size(); ++i) {
        const SignerSpec& signer = spec.signers[i];
        if (signer.name.find_first_not_of(" \t") == std::string::npos) {
            return failure(ServiceCode::invalid,
                           "Signer " + std::to_string(i + 1) + " has no name");
        }
        IssuedSecret token = issueLinkToken();
        NewSigner stored{signer, {}, std::move(token.hash)};
        stored.spec.accessCode.clear();
        if (!signer.accessCode.empty()) {
            stored.accessCodeHash = hashAccessCode(signer.accessCode, accessCodeRounds_);
        }
        request.signers.push_back(std::move(stored));
        created.linkTokens.push_back(std::move(token.text));
    }
    if (auto failed = store_->createRequest(request)) {
        return *failed;
    }
    auto stored = store_->request(request.id);
    if (!stored) {
        return stored.error();
    }
    created.request = std::move(*stored);
    return created;
}

Result<LinkTarget> SigningService::target(std::string_view token) {
    // A token is 22 base64url characters; anything else cannot be one, and is not hashed.
    if (token.size() != 22 || !openssl::decodeBase64Url(token)) {
        return failure(ServiceCode::notFound, "No signing link with this token");
    }
    return store_->requestForLink(secretHash(token));
}

Result<Request> SigningService::step(std::string_view token,
                                     const std::function<Result<Change>(const Request&, int)>& rule,
                                     const NewRevision* revision) {
    auto link = target(token);
    if (!link) {
        return link.error();
    }
    const int position = link->position;
    return store_->change(
        link->request.id, [&](const Request& request) { return rule(request, position); },
        revision);
}

Result<LinkSession> SigningService::openLink(std::string_view token, const Actor& actor) {
    const TimeMs now = clock_();
    int position = 0;
    auto request = step(token, [&](const Request& r, int p) {
        position = p;
        return service::openLink(r, p, actor, now);
    });
    if (!request) {
        return request.error();
    }
    const Signer& signer = *signerAt(*request, position);
    const bool needsCode = signer.hasAccessCode && !signer.codePassedAt;
    return LinkSession{std::move(*request), position, needsCode};
}

MaybeFailure SigningService::enterAccessCode(std::string_view token, std::string_view code,
                                             const Actor& actor) {
    auto link = target(token);
    if (!link) {
        return link.error();
    }
    auto stored = store_->accessCodeHash(link->request.id, link->position);
    if (!stored) {
        return stored.error();
    }
    // The slow hash runs outside the transaction, so a guess does not hold the write lock.
    const bool right = !stored->empty() && accessCodeMatches(code, *stored);
    const TimeMs now = clock_();
    auto changed = store_->change(link->request.id, [&](const Request& r) {
        return service::enterAccessCode(r, link->position, right, actor, now);
    });
    return changed ? MaybeFailure{} : MaybeFailure{changed.error()};
}

Result<Revision> SigningService::showDocument(std::string_view token, const Actor& actor) {
    auto link = target(token);
    if (!link) {
        return link.error();
    }
    auto revisions = store_->revisions(link->request.id);
    if (!revisions) {
        return revisions.error();
    }
    if (revisions->empty()) {
        return failure(ServiceCode::storage, "Request " + link->request.id + " has no document");
    }
    const Revision latest = revisions->back();
    const TimeMs now = clock_();
    auto changed = store_->change(link->request.id, [&](const Request& r) {
        return service::showDocument(r, link->position, latest.sha256, actor, now);
    });
    if (!changed) {
        return changed.error();
    }
    return latest;
}

Result<Request> SigningService::sign(std::string_view token, ByteView signedPdf, const Actor& actor,
                                     std::optional<int> shownRevision) {
    const NewRevision revision{Bytes(signedPdf.begin(), signedPdf.end()),
                               hexDigits(openssl::sha256(signedPdf))};
    const TimeMs now = clock_();
    return step(
        token,
        [&](const Request& r, int p) {
            return service::sign(r, p, revision.sha256, actor, now, shownRevision);
        },
        &revision);
}

Result<Request> SigningService::decline(std::string_view token, const std::string& reason,
                                        const Actor& actor) {
    const TimeMs now = clock_();
    return step(
        token, [&](const Request& r, int p) { return service::decline(r, p, reason, actor, now); });
}

Result<Request> SigningService::seal(const std::string& requestId, const Sealer& sealer,
                                     const Actor& actor) {
    const std::lock_guard lock(sealing_);
    auto request = store_->request(requestId);
    if (!request) {
        return request.error();
    }
    auto revisions = store_->revisions(requestId);
    if (!revisions) {
        return revisions.error();
    }
    // Refused here, before the sealer's work, as the change below would refuse it.
    if (auto refused = service::seal(*request, revisions->size(), {}, actor, clock_()); !refused) {
        return refused.error();
    }
    auto latest = store_->revisionBytes(requestId, revisions->back().number);
    if (!latest) {
        return latest.error();
    }
    auto trail = store_->auditTrail(requestId);
    if (!trail) {
        return trail.error();
    }
    Result<Bytes> sealed = sealer(*latest, *trail);
    if (!sealed) {
        return sealed.error();
    }
    std::string sha256 = hexDigits(openssl::sha256(*sealed));
    const NewRevision revision{std::move(*sealed), std::move(sha256)};
    const std::size_t count = revisions->size();
    const TimeMs now = clock_();
    return store_->change(
        requestId,
        [&](const Request& r) { return service::seal(r, count, revision.sha256, actor, now); },
        &revision);
}

Result<Request> SigningService::cancel(const std::string& requestId, const Actor& actor) {
    const TimeMs now = clock_();
    return store_->change(requestId,
                          [&](const Request& r) { return service::cancel(r, actor, now); });
}

Result<int> SigningService::expireDue(int limit) {
    const TimeMs now = clock_();
    auto due = store_->dueForExpiry(now, limit);
    if (!due) {
        return due.error();
    }
    int expired = 0;
    for (const std::string& id : *due) {
        // Another node may have expired or completed it meanwhile; expire() then changes
        // nothing and that is not a failure.
        auto changed =
            store_->change(id, [&](const Request& r) { return Result<Change>(expire(r, now)); });
        if (!changed) {
            return changed.error();
        }
        expired += changed->state == RequestState::kExpired ? 1 : 0;
    }
    return expired;
}

MaybeFailure SigningService::appendSamples(std::string_view token, std::int64_t sequence,
                                           ByteView samples) {
    const LinkMessage message{token, sequence, samples};
    return std::move(appendSampleBatch({&message, 1}).front());
}

std::vector<MaybeFailure> SigningService::appendSampleBatch(std::span<const LinkMessage> messages) {
    std::vector<MaybeFailure> answers(messages.size());
    std::vector<SampleAppend> appends;
    std::vector<std::size_t> appended;  // which message each append is
    const TimeMs now = clock_();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        auto link = target(messages[i].token);
        if (!link) {
            answers[i] = link.error();
        } else if (auto refusal = mayDraw(link->request, link->position, now)) {
            answers[i] = std::move(refusal);
        } else {
            appends.push_back({signerAt(link->request, link->position)->id, messages[i].sequence,
                               messages[i].samples});
            appended.push_back(i);
        }
    }
    std::vector<MaybeFailure> stored = store_->appendSampleBatch(appends);
    for (std::size_t j = 0; j < appended.size(); ++j) {
        answers[appended[j]] = std::move(stored[j]);
    }
    return answers;
}

Result<std::vector<SampleBatch>> SigningService::samples(std::string_view token) {
    auto link = target(token);
    if (!link) {
        return link.error();
    }
    return store_->samples(signerAt(link->request, link->position)->id);
}

Result<std::string> SigningService::createApiKey(const std::string& name) {
    IssuedSecret key = issueApiKey();
    if (auto failed = store_->addApiKey(name, key.hash, clock_())) {
        return *failed;
    }
    return std::move(key.text);
}

Result<std::string> SigningService::authenticate(std::string_view key) {
    if (key.size() > 200) {
        return failure(ServiceCode::forbidden, "no valid API key with this value");
    }
    return store_->apiKeyNamed(secretHash(key));
}

}  // namespace penwell::service
