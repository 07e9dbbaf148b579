#pragma once
// The signing service's operations, as an HTTP layer calls them: on top of a SigningStore,
// with the rules (Rules.h), the secrets (Secrets.h) and a clock. Each operation is one store
// transaction; the service itself keeps nothing between calls, so several of them (in one
// process or several, on one store) act as one.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "penwell/platform/Result.h"
#include "penwell/service/Secrets.h"
#include "penwell/service/SigningStore.h"

namespace penwell::service {

/// A request as its creator describes it.
struct RequestSpec {
    std::string documentId;
    std::vector<SignerSpec> signers;  ///< in signing order, at least one
    TimeMs expiresAt = 0;             ///< after now
    std::string webhookUrl;
    std::string metadata;
    std::string returnUrl = {};  ///< checked by the caller (the API): kept as given
};

/// A new request and each signer's link token, in signer order: the only time the tokens
/// exist outside the signers' links.
struct CreatedRequest {
    Request request;
    std::vector<std::string> linkTokens;
};

/// Where an opened link leads.
struct LinkSession {
    Request request;
    int position = 0;
    bool needsAccessCode = false;  ///< the code must be given before the document is shown
};

class SigningService {
public:
    /// `accessCodeRounds` is PBKDF2's count for new access codes; tests lower it.
    SigningService(std::shared_ptr<SigningStore> store, Clock clock,
                   std::uint32_t accessCodeRounds = kAccessCodeRounds);

    /// Keeps an uploaded PDF (checked by the caller) with its page count.
    Result<Document> addDocument(ByteView pdf, int pages);

    /// Creates a request: invalid for no signers, a signer without a name, or an expiry not
    /// after now; notFound for an unknown document.
    Result<CreatedRequest> createRequest(const RequestSpec& spec, const Actor& actor);

    /// A signer opens their link. Refused (conflict) while an earlier signer has not signed
    /// ("Waiting for Ann Example to sign first"), after they signed or declined, and once the
    /// request has ended; notFound for a token no link has.
    Result<LinkSession> openLink(std::string_view token, const Actor& actor);

    /// Checks the signer's access code; a wrong one is recorded and refused (forbidden), and
    /// after kAccessCodeAttempts wrong ones every code is refused.
    MaybeFailure enterAccessCode(std::string_view token, std::string_view code, const Actor& actor);

    /// The revision the signer is shown (the document as signed so far), recorded with its
    /// SHA-256.
    Result<Revision> showDocument(std::string_view token, const Actor& actor);

    /// The signer signed: `signedPdf` becomes the request's next revision, in the same
    /// transaction that marks them signed (and completes the request after the last signer).
    /// `shownRevision`, when given, is the number of the revision the signature was made on:
    /// refused (conflict) when the request's latest revision is another one by then.
    Result<Request> sign(std::string_view token, ByteView signedPdf, const Actor& actor,
                         std::optional<int> shownRevision = {});

    /// The signer declined with `reason`, which ends the request.
    Result<Request> decline(std::string_view token, const std::string& reason, const Actor& actor);

    /// Makes the sealed copy of a completed request: `sealer` is given the latest revision and
    /// the trail so far and answers the sealed PDF, which becomes the last revision with
    /// request.sealed. Refused (conflict) for a request not completed or sealed already; the
    /// sealer's failure writes nothing.
    using Sealer = std::function<Result<Bytes>(ByteView latest,
                                               const std::vector<AuditEvent>& trail)>;
    Result<Request> seal(const std::string& requestId, const Sealer& sealer, const Actor& actor);

    /// The creator cancels a pending request.
    Result<Request> cancel(const std::string& requestId, const Actor& actor);

    /// Writes the expiry of up to `limit` pending requests whose time has passed; answers how
    /// many were expired.
    Result<int> expireDue(int limit);

    /// Keeps one page message's samples for the signer of `token` while they may sign; the
    /// caller acknowledges the message only after this returns without failure.
    MaybeFailure appendSamples(std::string_view token, std::int64_t sequence, ByteView samples);
    /// One page message of a signing link, for appendSampleBatch.
    struct LinkMessage {
        std::string_view token;
        std::int64_t sequence = 0;
        ByteView samples;
    };
    /// appendSamples for the messages of many links, committed together (SampleCommitter):
    /// each answer, in order, is what appendSamples would answer for its message.
    std::vector<MaybeFailure> appendSampleBatch(std::span<const LinkMessage> messages);
    /// The signer's stored messages in order (to rebuild the pad after a restart).
    Result<std::vector<SampleBatch>> samples(std::string_view token);

    /// A new API key named `name`: the key, shown this once.
    Result<std::string> createApiKey(const std::string& name);
    /// The name of the key presented, unless unknown or revoked (forbidden).
    Result<std::string> authenticate(std::string_view key);

    /// Where a link token leads, without recording anything (what a page shows before a step);
    /// notFound for a token no link has.
    Result<LinkTarget> target(std::string_view token);
    /// The time now, as the service's clock answers it.
    TimeMs now() const { return clock_(); }

    SigningStore& store() { return *store_; }

private:
    Result<Request> step(std::string_view token,
                         const std::function<Result<Change>(const Request&, int)>& rule,
                         const NewRevision* revision = nullptr);

    std::shared_ptr<SigningStore> store_;
    Clock clock_;
    std::uint32_t accessCodeRounds_;
    /// One seal at a time: the check that a request is not sealed yet and the sealed
    /// revision's write must not interleave with another's.
    std::mutex sealing_;
};

}  // namespace penwell::service
