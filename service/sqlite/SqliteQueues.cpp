// The signing store's queues and small tables: the webhook outbox, a pad's samples, API keys
// and Idempotency-Key answers (SqliteSigningStore.h).
#include <sqlite3.h>

#include "penwell/platform/openssl/Digests.h"
#include "penwell/platform/sqlite/SqliteHandles.h"
#include "penwell/service/sqlite/Query.h"
#include "penwell/service/sqlite/SqliteSigningStore.h"

namespace penwell::service::sqlite {

Result<std::vector<OutboxEntry>> SqliteSigningStore::takeDueOutbox(TimeMs now, TimeMs leaseMs,
                                                                   int limit) {
    std::lock_guard lock(mutex_);
    return inTransaction(db_.get(), file_, [&]() -> Result<std::vector<OutboxEntry>> {
        // Only the head of each request's queue: a later event of a request never overtakes
        // an earlier one that is still being retried.
        Query select(db_.get(), file_,
                     "SELECT id, request_id, event, body, url, created_at, attempts, "
                     "next_attempt_at FROM outbox o WHERE delivered_at IS NULL "
                     "AND given_up_at IS NULL AND next_attempt_at <= ?1 AND id = "
                     "(SELECT min(id) FROM outbox p WHERE p.request_id = o.request_id "
                     "AND p.delivered_at IS NULL AND p.given_up_at IS NULL) "
                     "ORDER BY id LIMIT ?2");
        select.bind(1, now).bind(2, std::int64_t{limit});
        std::vector<OutboxEntry> due;
        if (auto failed = select.eachRow([&] {
                due.push_back({select.integer(0), select.text(1), select.text(2), select.text(3),
                               select.text(4), select.integer(5),
                               static_cast<int>(select.integer(6)), select.integer(7)});
            })) {
            return *failed;
        }
        for (OutboxEntry& entry : due) {
            entry.nextAttemptAt = now + leaseMs;
            if (auto failed =
                    Query(db_.get(), file_, "UPDATE outbox SET next_attempt_at = ? WHERE id = ?")
                        .bind(1, entry.nextAttemptAt)
                        .bind(2, entry.id)
                        .run()) {
                return *failed;
            }
        }
        return due;
    });
}

/// Runs an update of one outbox entry that still waits; notFound when it changed nothing.
MaybeFailure SqliteSigningStore::updateWaitingEntry(Query& update, std::int64_t id) {
    if (auto failed = update.run()) {
        return failed;
    }
    if (sqlite3_changes(db_.get()) == 0) {
        return refusal(ServiceCode::notFound, file_,
                       "no outbox entry " + std::to_string(id) + " waits for delivery");
    }
    return std::nullopt;
}

MaybeFailure SqliteSigningStore::outboxDelivered(std::int64_t id, TimeMs now) {
    std::lock_guard lock(mutex_);
    Query update(db_.get(), file_,
                 "UPDATE outbox SET delivered_at = ?, attempts = attempts + 1 "
                 "WHERE id = ? AND delivered_at IS NULL AND given_up_at IS NULL");
    update.bind(1, now).bind(2, id);
    return updateWaitingEntry(update, id);
}

MaybeFailure SqliteSigningStore::outboxFailed(std::int64_t id, std::optional<TimeMs> nextAttemptAt,
                                              TimeMs now) {
    std::lock_guard lock(mutex_);
    Query update(db_.get(), file_,
                 "UPDATE outbox SET attempts = attempts + 1, "
                 "next_attempt_at = coalesce(?1, next_attempt_at), "
                 "given_up_at = CASE WHEN ?1 IS NULL THEN ?2 END "
                 "WHERE id = ?3 AND delivered_at IS NULL AND given_up_at IS NULL");
    update.bind(1, nextAttemptAt).bind(2, now).bind(3, id);
    return updateWaitingEntry(update, id);
}

Result<std::int64_t> SqliteSigningStore::outboxBacklog() {
    std::lock_guard lock(mutex_);
    Query count(db_.get(), file_,
                "SELECT count(*) FROM outbox WHERE delivered_at IS NULL AND given_up_at IS NULL");
    if (auto failed = count.expectRow(refusal(ServiceCode::storage, file_, "no count"))) {
        return *failed;
    }
    return count.integer(0);
}

MaybeFailure SqliteSigningStore::appendSamples(std::int64_t signerId, std::int64_t sequence,
                                               ByteView samples) {
    const SampleAppend message{signerId, sequence, samples};
    return std::move(appendSampleBatch({&message, 1}).front());
}

std::vector<MaybeFailure> SqliteSigningStore::appendSampleBatch(
    std::span<const SampleAppend> batch) {
    std::lock_guard lock(mutex_);
    std::vector<MaybeFailure> answers(batch.size());
    // A message refused (a conflict, an unknown signer) is answered alone; only a failure of
    // the transaction itself, or of its commit, is every message's.
    const MaybeFailure failed = inTransaction(db_.get(), file_, [&]() -> MaybeFailure {
        for (std::size_t i = 0; i < batch.size(); ++i) {
            answers[i] = appendInTransaction(batch[i]);
            if (answers[i] && answers[i]->code == static_cast<std::int64_t>(ServiceCode::storage)) {
                return answers[i];  // the database's own failure: nothing of the batch stays
            }
        }
        return std::nullopt;
    });
    if (failed) {
        std::fill(answers.begin(), answers.end(), failed);
    }
    return answers;
}

MaybeFailure SqliteSigningStore::appendInTransaction(const SampleAppend& message) {
    const auto [signerId, sequence, samples] = message;
    Query signer(db_.get(), file_, "SELECT 1 FROM signers WHERE id = ?");
    if (auto failed = signer.bind(1, signerId)
                          .expectRow(refusal(ServiceCode::notFound, file_,
                                             "no signer " + std::to_string(signerId)))) {
        return failed;
    }
    Query stored(db_.get(), file_,
                 "SELECT bytes FROM samples WHERE signer_id = ? AND sequence = ?");
    auto row = stored.bind(1, signerId).bind(2, sequence).step();
    if (!row) {
        return row.error();
    }
    if (*row) {
        const Bytes before = stored.blob(0);
        if (!std::equal(before.begin(), before.end(), samples.begin(), samples.end())) {
            return refusal(ServiceCode::conflict, file_,
                           "message " + std::to_string(sequence) + " of signer " +
                               std::to_string(signerId) + " was stored with other samples");
        }
        return std::nullopt;
    }
    return Query(db_.get(), file_,
                 "INSERT INTO samples (signer_id, sequence, bytes) VALUES (?, ?, ?)")
        .bindAll(signerId, sequence, samples)
        .run();
}

Result<std::vector<SampleBatch>> SqliteSigningStore::samples(std::int64_t signerId) {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_,
                 "SELECT sequence, bytes FROM samples WHERE signer_id = ? ORDER BY sequence");
    select.bind(1, signerId);
    std::vector<SampleBatch> batches;
    if (auto failed = select.eachRow([&] {
            batches.push_back({select.integer(0), select.blob(1)});
        })) {
        return *failed;
    }
    return batches;
}

MaybeFailure SqliteSigningStore::addApiKey(const std::string& name, ByteView keyHash, TimeMs now) {
    std::lock_guard lock(mutex_);
    if (name.empty() || name.size() > 200) {
        return refusal(ServiceCode::invalid, file_, "an API key's name must be 1 to 200 bytes");
    }
    return inTransaction(db_.get(), file_, [&]() -> MaybeFailure {
        Query taken(db_.get(), file_, "SELECT 1 FROM api_keys WHERE name = ?");
        if (auto failed = taken.bind(1, name).expectNoRow(
                refusal(ServiceCode::conflict, file_, "an API key named " + name + " exists"))) {
            return failed;
        }
        return Query(db_.get(), file_,
                     "INSERT INTO api_keys (name, key_hash, created_at) VALUES (?, ?, ?)")
            .bindAll(name, keyHash, now)
            .run();
    });
}

Result<std::vector<ApiKey>> SqliteSigningStore::apiKeys() {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_,
                 "SELECT name, created_at, revoked_at FROM api_keys ORDER BY name");
    std::vector<ApiKey> keys;
    if (auto failed = select.eachRow([&] {
            keys.push_back({select.text(0), select.integer(1), select.maybeInteger(2)});
        })) {
        return *failed;
    }
    return keys;
}

MaybeFailure SqliteSigningStore::revokeApiKey(const std::string& name, TimeMs now) {
    std::lock_guard lock(mutex_);
    return inTransaction(db_.get(), file_, [&]() -> MaybeFailure {
        Query select(db_.get(), file_, "SELECT revoked_at FROM api_keys WHERE name = ?");
        if (auto failed = select.bind(1, name).expectRow(
                refusal(ServiceCode::notFound, file_, "no API key named " + name))) {
            return failed;
        }
        if (select.maybeInteger(0)) {
            return refusal(ServiceCode::conflict, file_, "API key " + name + " is revoked already");
        }
        return Query(db_.get(), file_, "UPDATE api_keys SET revoked_at = ? WHERE name = ?")
            .bind(1, now)
            .bind(2, name)
            .run();
    });
}

Result<std::string> SqliteSigningStore::apiKeyNamed(ByteView keyHash) {
    std::lock_guard lock(mutex_);
    Query select(db_.get(), file_,
                 "SELECT name, key_hash FROM api_keys WHERE key_hash = ? AND revoked_at IS NULL");
    const Failure unknown =
        refusal(ServiceCode::forbidden, file_, "no valid API key with this value");
    if (auto failed = select.bind(1, keyHash).expectRow(unknown)) {
        return *failed;
    }
    if (!openssl::constantTimeEqual(select.blob(1), keyHash)) {
        return unknown;
    }
    return select.text(0);
}

/// The answer kept for `key`, nullopt when none; conflict when kept for another body.
Result<std::optional<KeptAnswer>> SqliteSigningStore::keptAnswer(const std::string& scope,
                                                                 const std::string& key,
                                                                 ByteView bodyHash) {
    Query select(db_.get(), file_,
                 "SELECT body_hash, answer FROM idempotency WHERE scope = ? AND key = ?");
    auto row = select.bind(1, scope).bind(2, key).step();
    if (!row) {
        return row.error();
    }
    if (!*row) {
        return std::optional<KeptAnswer>();
    }
    if (!openssl::constantTimeEqual(select.blob(0), bodyHash)) {
        return refusal(ServiceCode::conflict, file_,
                       "Idempotency-Key " + key + " was used with another body");
    }
    return std::optional<KeptAnswer>(KeptAnswer{select.text(1)});
}

Result<std::optional<KeptAnswer>> SqliteSigningStore::recallAnswer(const std::string& scope,
                                                                   const std::string& key,
                                                                   ByteView bodyHash) {
    std::lock_guard lock(mutex_);
    return keptAnswer(scope, key, bodyHash);
}

Result<KeptAnswer> SqliteSigningStore::keepAnswer(const std::string& scope, const std::string& key,
                                                  ByteView bodyHash, const std::string& answer,
                                                  TimeMs now) {
    std::lock_guard lock(mutex_);
    return inTransaction(db_.get(), file_, [&]() -> Result<KeptAnswer> {
        auto kept = keptAnswer(scope, key, bodyHash);
        if (!kept) {
            return kept.error();
        }
        if (*kept) {
            return **kept;
        }
        if (auto failed = Query(db_.get(), file_,
                                "INSERT INTO idempotency (scope, key, body_hash, answer, "
                                "created_at) VALUES (?, ?, ?, ?, ?)")
                              .bindAll(scope, key, bodyHash, answer, now)
                              .run()) {
            return *failed;
        }
        return KeptAnswer{answer};
    });
}

}  // namespace penwell::service::sqlite
