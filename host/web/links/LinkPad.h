#pragma once
// A signing link's pad (serve --data): the pad of one signer of a request, on the latest
// revision of its document. Acknowledged means durable: every message that changes the pad is
// in the store before the session takes it (and so before the page is told it was taken), a
// pad made again (after a restart, on another connection) is rebuilt from those messages, and
// Done makes the signed document the request's next revision in the transaction that marks
// the signer signed.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "penwell/host/web/Session.h"
#include "penwell/host/web/links/LinkDocuments.h"
#include "penwell/service/SigningService.h"

namespace penwell::web::links {

class LinkPad {
public:
    /// The pad of the link `token`, when its signer may draw now (the link opened, the access
    /// code given): `base` with the revision to sign, the signer's place and texts, and Done
    /// delivering to the service. Fails with the service's refusal (its one line) or the
    /// document's.
    static Result<std::shared_ptr<LinkPad>> open(std::shared_ptr<service::SigningService> service,
                                                 LinkDocuments& documents, const PadSettings& base,
                                                 std::string token, service::Actor actor);

    const PadSettings& settings() const { return settings_; }
    /// The pad's key among the server's pads: derived from the token, so only a page that has
    /// the link finds the pad, and a copy of the database does not.
    const std::string& key() const { return key_; }
    int revision() const { return revision_; }

    /// Called with each message before the session takes it: the number under which it must
    /// be stored first, or none when there is nothing to store. One that changes the pad (ink,
    /// undo, clear, its scale, the document shown) is stored; one without a number is refused,
    /// since it could not be acknowledged; a number stored already (a page sending again what
    /// it was not told was taken) is not stored again. Fails with the reason the session is
    /// closed with. The caller stores it (SampleCommitter) and then calls kept().
    Result<std::optional<std::int64_t>> toKeep(std::string_view text) const;
    /// The message numbered `sequence` is in the store.
    void kept(std::int64_t sequence) { lastKept_ = std::max(lastKept_, sequence); }
    /// The link's token, under which its messages are stored.
    const std::string& token() const { return token_; }

    /// Feeds a new session what the store holds for this signer, in order: the pad shows the
    /// ink again and knows the last message it took. Run after the session's own first work
    /// on its loop.
    MaybeFailure restore(SigningSession& session);

private:
    LinkPad() = default;

    std::shared_ptr<service::SigningService> service_;
    std::string token_;
    std::string key_;
    int revision_ = 0;
    PadSettings settings_;
    std::int64_t lastKept_ = 0;
};

/// The pad key of a link token (LinkPad::key).
std::string padKeyOf(std::string_view token);

}  // namespace penwell::web::links
