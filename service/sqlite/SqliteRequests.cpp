// The signing store's requests: creating one, reading it, and the one transaction that
// changes it (SqliteSigningStore.h).
#include <sqlite3.h>

#include "penwell/platform/openssl/Digests.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/Writes.h"
#include "penwell/service/sqlite/Query.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"

namespace penwell::service::sqlite {
namespace {

using penwell::sqlite::ReadTransaction;

constexpr const char* kEventColumns =
    "sequence, time, type, signer, detail, address, user_agent, previous_hash, hash";

AuditEvent readEvent(const Query& row) {
    AuditEvent event;
    event.sequence = row.integer(0);
    event.time = row.integer(1);
    event.type = row.text(2);
    event.signer = static_cast<int>(row.integer(3));
    event.detail = row.text(4);
    event.actor = {row.text(5), row.text(6)};
    event.previousHash = row.blob(7);
    event.hash = row.blob(8);
    return event;
}

/// The state a row names; a name this program does not know is a damaged row, refused.
template <typename Parse>
auto storedState(Parse parse, const std::string& name, const std::string& what,
                 const std::string& file)
    -> Result<std::remove_reference_t<decltype(*parse(name))>> {
    const auto state = parse(name);
    if (!state) {
        return refusal(ServiceCode::storage, file, what + " has state \"" + name + "\"");
    }
    return *state;
}

}  // namespace

MaybeFailure insertEvent(sqlite3* db, const std::string& file, const std::string& requestId,
                         const AuditEvent& event) {
    return Query(db, file,
                 "INSERT INTO events (request_id, sequence, time, type, signer, detail, address, "
                 "user_agent, previous_hash, hash) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
        .bindAll(requestId, event.sequence, event.time, event.type, std::int64_t{event.signer},
                 event.detail, event.actor.address, event.actor.userAgent,
                 ByteView(event.previousHash), ByteView(event.hash))
        .run();
}

Result<Request> SqliteSigningStore::loadRequest(const std::string& id) {
    Query select(db_.get(), file_,
                 "SELECT document_id, state, created_at, expires_at, ended_at, webhook_url, "
                 "metadata, purged_at, return_url FROM requests WHERE id = ?");
    if (auto failed = select.bind(1, id).expectRow(
            refusal(ServiceCode::notFound, file_, "no request " + id))) {
        return *failed;
    }
    Request request;
    request.id = id;
    request.documentId = select.text(0);
    auto state = storedState(requestStateNamed, select.text(1), "request " + id, file_);
    if (!state) {
        return state.error();
    }
    request.state = *state;
    request.createdAt = select.integer(2);
    request.expiresAt = select.integer(3);
    request.endedAt = select.maybeInteger(4);
    request.webhookUrl = select.text(5);
    request.metadata = select.text(6);
    request.purgedAt = select.maybeInteger(7);
    request.returnUrl = select.text(8);

    Query signers(
        db_.get(), file_,
        "SELECT id, position, name, email, placement, reason, location, "
        "access_code_hash != '', state, opened_at, signed_at, declined_at, "
        "decline_reason, code_passed_at, (SELECT count(*) FROM events e WHERE e.request_id = "
        "signers.request_id AND e.signer = signers.position AND e.type = 'access_code.refused') "
        "FROM signers WHERE request_id = ? ORDER BY position");
    signers.bind(1, id);
    MaybeFailure damaged;
    auto failed = signers.eachRow([&] {
        Signer signer;
        signer.id = signers.integer(0);
        signer.position = static_cast<int>(signers.integer(1));
        signer.name = signers.text(2);
        signer.email = signers.text(3);
        signer.placement = signers.text(4);
        signer.reason = signers.text(5);
        signer.location = signers.text(6);
        signer.hasAccessCode = signers.integer(7) != 0;
        auto signerState =
            storedState(signerStateNamed, signers.text(8), "a signer of request " + id, file_);
        if (!signerState) {
            if (!damaged) {
                damaged = signerState.error();
            }
            return;
        }
        signer.state = *signerState;
        signer.openedAt = signers.maybeInteger(9);
        signer.signedAt = signers.maybeInteger(10);
        signer.declinedAt = signers.maybeInteger(11);
        signer.declineReason = signers.text(12);
        signer.codePassedAt = signers.maybeInteger(13);
        signer.codeRefusals = static_cast<int>(signers.integer(14));
        request.signers.push_back(std::move(signer));
    });
    if (failed || damaged) {
        return failed ? *failed : *damaged;
    }
    return request;
}

Result<std::optional<AuditEvent>> SqliteSigningStore::lastEvent(const std::string& requestId) {
    Query select(db_.get(), file_,
                 (std::string("SELECT ") + kEventColumns +
                  " FROM events WHERE request_id = ? ORDER BY sequence DESC LIMIT 1")
                     .c_str());
    auto row = select.bind(1, requestId).step();
    if (!row) {
        return row.error();
    }
    if (!*row) {
        return std::optional<AuditEvent>();
    }
    return std::optional<AuditEvent>(readEvent(select));
}

MaybeFailure SqliteSigningStore::createRequest(const NewRequest& request) {
    std::lock_guard lock(mutex_);
    if (auto invalid = checkId(request.id, "request", file_)) {
        return invalid;
    }
    if (request.signers.empty()) {
        return refusal(ServiceCode::invalid, file_, "request " + request.id + " has no signer");
    }
    return inTransaction(db_.get(), file_, [&] { return insertRequest(request); });
}

MaybeFailure SqliteSigningStore::insertRequest(const NewRequest& request) {
    Query document(db_.get(), file_, "SELECT sha256, purged_at FROM documents WHERE id = ?");
    if (auto failed = document.bind(1, request.documentId)
                          .expectRow(refusal(ServiceCode::notFound, file_,
                                             "no document " + request.documentId))) {
        return failed;
    }
    // Its file is gone (or going): a request on it could never show it to a signer.
    if (document.maybeInteger(1)) {
        return refusal(ServiceCode::notFound, file_,
                       "document " + request.documentId +
                           " was deleted after the retention period; upload it again");
    }
    Query taken(db_.get(), file_, "SELECT 1 FROM requests WHERE id = ?");
    if (auto failed = taken.bind(1, request.id)
                          .expectNoRow(refusal(ServiceCode::conflict, file_,
                                               "request " + request.id + " exists already"))) {
        return failed;
    }
    if (auto failed = Query(db_.get(), file_,
                            "INSERT INTO requests (id, document_id, state, created_at, expires_at, "
                            "webhook_url, metadata, return_url) VALUES (?, ?, 'pending', ?, ?, ?, "
                            "?, ?)")
                          .bindAll(request.id, request.documentId, request.createdAt,
                                   request.expiresAt, request.webhookUrl, request.metadata,
                                   request.returnUrl)
                          .run()) {
        return failed;
    }
    std::int64_t position = 0;
    for (const NewSigner& signer : request.signers) {
        Query token(db_.get(), file_, "SELECT 1 FROM signers WHERE token_hash = ?");
        if (auto failed = token.bind(1, ByteView(signer.tokenHash))
                              .expectNoRow(refusal(ServiceCode::conflict, file_,
                                                   "a link token is in use already"))) {
            return failed;
        }
        if (auto failed =
                Query(db_.get(), file_,
                      "INSERT INTO signers (request_id, position, name, email, placement, reason, "
                      "location, access_code_hash, token_hash, state) "
                      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 'waiting')")
                    .bindAll(request.id, ++position, signer.spec.name, signer.spec.email,
                             signer.spec.placement, signer.spec.reason, signer.spec.location,
                             signer.accessCodeHash, ByteView(signer.tokenHash))
                    .run()) {
            return failed;
        }
    }
    if (auto failed = Query(db_.get(), file_,
                            "INSERT INTO revisions (request_id, number, sha256, created_at) "
                            "VALUES (?, 0, ?, ?)")
                          .bindAll(request.id, document.text(0), request.createdAt)
                          .run()) {
        return failed;
    }
    return insertEvent(db_.get(), file_, request.id,
                       createdEvent(request.id, request.createdAt, request.actor));
}

Result<Request> SqliteSigningStore::request(const std::string& id) {
    std::lock_guard lock(mutex_);
    ReadTransaction snapshot(db_.get());
    return loadRequest(id);
}

Result<LinkTarget> SqliteSigningStore::requestForLink(ByteView tokenHash) {
    std::lock_guard lock(mutex_);
    ReadTransaction snapshot(db_.get());
    // The lookup is by the hash of a 128-bit random token: timing it tells nothing about any
    // token. The stored hash is compared again in constant time all the same.
    Query select(db_.get(), file_,
                 "SELECT request_id, position, token_hash FROM signers WHERE token_hash = ?");
    const Failure unknown =
        refusal(ServiceCode::notFound, file_, "no signing link with this token");
    if (auto failed = select.bind(1, tokenHash).expectRow(unknown)) {
        return *failed;
    }
    if (!openssl::constantTimeEqual(select.blob(2), tokenHash)) {
        return unknown;
    }
    auto request = loadRequest(select.text(0));
    if (!request) {
        return request.error();
    }
    return LinkTarget{std::move(*request), static_cast<int>(select.integer(1))};
}

Result<std::string> SqliteSigningStore::accessCodeHash(const std::string& requestId, int position) {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_,
                 "SELECT access_code_hash FROM signers WHERE request_id = ? AND position = ?");
    if (auto failed = select.bind(1, requestId)
                          .bind(2, std::int64_t{position})
                          .expectRow(refusal(ServiceCode::notFound, file_,
                                             "request " + requestId + " has no signer " +
                                                 std::to_string(position)))) {
        return *failed;
    }
    return select.text(0);
}

Result<std::vector<Request>> SqliteSigningStore::listRequests(std::optional<RequestState> state,
                                                              const std::string& after, int limit) {
    if (limit < 1 || limit > kMaxListLimit) {
        return refusal(ServiceCode::invalid, file_,
                       "a list holds 1 to " + std::to_string(kMaxListLimit) + " requests, not " +
                           std::to_string(limit));
    }
    std::lock_guard lock(mutex_);
    ReadTransaction snapshot(db_.get());
    Query select(db_.get(), file_,
                 "SELECT id FROM requests WHERE id > ? AND (?2 IS NULL OR state = ?2) "
                 "ORDER BY id LIMIT ?3");
    select.bind(1, after).bind(3, std::int64_t{limit});
    if (state) {
        select.bind(2, nameOf(*state));
    }
    std::vector<std::string> ids;
    if (auto failed = select.eachRow([&] { ids.push_back(select.text(0)); })) {
        return *failed;
    }
    std::vector<Request> requests;
    for (const std::string& id : ids) {
        auto request = loadRequest(id);
        if (!request) {
            return request.error();
        }
        requests.push_back(std::move(*request));
    }
    return requests;
}

Result<std::vector<std::string>> SqliteSigningStore::dueForExpiry(TimeMs now, int limit) {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_,
                 "SELECT id FROM requests WHERE state = 'pending' AND expires_at <= ? "
                 "ORDER BY expires_at, id LIMIT ?");
    select.bind(1, now).bind(2, std::int64_t{limit});
    std::vector<std::string> ids;
    if (auto failed = select.eachRow([&] { ids.push_back(select.text(0)); })) {
        return *failed;
    }
    return ids;
}

Result<Request> SqliteSigningStore::change(const std::string& requestId, const Decide& decide,
                                           const NewRevision* revision) {
    std::lock_guard lock(mutex_);
    MaybeFailure refused;
    auto committed = inTransaction(
        db_.get(), file_, [&] { return applyChange(requestId, decide, revision, refused); });
    if (committed && refused) {
        return *refused;
    }
    return committed;
}

Result<Request> SqliteSigningStore::applyChange(const std::string& requestId, const Decide& decide,
                                                const NewRevision* revision,
                                                MaybeFailure& refused) {
    auto before = loadRequest(requestId);
    if (!before) {
        return before.error();
    }
    auto decided = decide(*before);
    if (!decided) {
        return decided.error();
    }
    const Change& change = *decided;
    refused = change.refusal;
    auto last = lastEvent(requestId);
    if (!last) {
        return last.error();
    }
    const Writes writes = writesOf(*before, change, *last);
    if (change.requestState) {
        if (auto failed =
                Query(db_.get(), file_, "UPDATE requests SET state = ?, ended_at = ? WHERE id = ?")
                    .bindAll(nameOf(writes.after.state), writes.after.endedAt, requestId)
                    .run()) {
            return *failed;
        }
    }
    for (const SignerChange& changed : change.signers) {
        for (const Signer& s : writes.after.signers) {
            if (s.position != changed.position) {
                continue;
            }
            if (auto failed =
                    Query(db_.get(), file_,
                          "UPDATE signers SET state = ?, opened_at = ?, signed_at = ?, "
                          "declined_at = ?, decline_reason = ?, code_passed_at = ? WHERE id = ?")
                        .bindAll(nameOf(s.state), s.openedAt, s.signedAt, s.declinedAt,
                                 s.declineReason, s.codePassedAt, s.id)
                        .run()) {
                return *failed;
            }
        }
    }
    for (const AuditEvent& event : writes.events) {
        if (auto failed = insertEvent(db_.get(), file_, requestId, event)) {
            return *failed;
        }
    }
    for (const OutboxEntry& entry : writes.outbox) {
        if (auto failed = Query(db_.get(), file_,
                                "INSERT INTO outbox (request_id, event, body, url, created_at, "
                                "next_attempt_at) VALUES (?, ?, ?, ?, ?, ?)")
                              .bindAll(requestId, entry.event, entry.body, entry.url,
                                       entry.createdAt, entry.nextAttemptAt)
                              .run()) {
            return *failed;
        }
    }
    if (revision != nullptr && !refused) {
        if (auto failed = addRevision(requestId, *revision, change.time)) {
            return *failed;
        }
    }
    return writes.after;
}

MaybeFailure SqliteSigningStore::addRevision(const std::string& requestId,
                                             const NewRevision& revision, TimeMs time) {
    Query next(db_.get(), file_,
               "SELECT coalesce(max(number), 0) + 1 FROM revisions WHERE request_id = ?");
    if (auto failed =
            next.bind(1, requestId)
                .expectRow(refusal(ServiceCode::storage, file_, "no next revision number"))) {
        return failed;
    }
    const int number = static_cast<int>(next.integer(0));
    if (auto failed = writeFile(revisionFile(requestId, number), revision.pdf)) {
        return failed;
    }
    return Query(db_.get(), file_,
                 "INSERT INTO revisions (request_id, number, sha256, created_at) "
                 "VALUES (?, ?, ?, ?)")
        .bindAll(requestId, std::int64_t{number}, revision.sha256, time)
        .run();
}

Result<std::vector<AuditEvent>> SqliteSigningStore::auditTrail(const std::string& requestId) {
    std::lock_guard lock(mutex_);
    ReadTransaction snapshot(db_.get());
    if (auto known = loadRequest(requestId); !known) {
        return known.error();
    }
    Query select(db_.get(), file_,
                 (std::string("SELECT ") + kEventColumns +
                  " FROM events WHERE request_id = ? ORDER BY sequence")
                     .c_str());
    select.bind(1, requestId);
    std::vector<AuditEvent> events;
    if (auto failed = select.eachRow([&] { events.push_back(readEvent(select)); })) {
        return *failed;
    }
    return events;
}

}  // namespace penwell::service::sqlite
