#pragma once
// Where the signing service keeps its state: one interface, so that the embedded SQLite store
// (sqlite/SqliteSigningStore.h) and a shared database for several nodes offer the same
// transactions. Every operation is one transaction of the domain: it happens whole or not at
// all, and what it answers is what was committed. Nothing of a signing session lives only in
// the memory of one process.
//
// Failures carry kServiceDomain and a ServiceCode: storage for the database or the folder
// (full disk, damaged file, lock not obtained within the busy timeout), notFound, conflict,
// invalid. A failed operation leaves the store as it was before the call.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"
#include "penwell/service/Model.h"
#include "penwell/service/Rules.h"

namespace penwell::service {

/// A signer of a new request as stored: secrets only as hashes.
struct NewSigner {
    SignerSpec spec;             ///< spec.accessCode is ignored; see accessCodeHash
    std::string accessCodeHash;  ///< hashAccessCode()'s form, empty for none
    Bytes tokenHash;             ///< SHA-256 of the signer's link token
};

struct NewRequest {
    std::string id;
    std::string documentId;
    TimeMs createdAt = 0;
    TimeMs expiresAt = 0;
    std::string webhookUrl;
    std::string metadata;
    std::vector<NewSigner> signers;  ///< in signing order; positions 1, 2, ... are given here
    Actor actor;                     ///< who created it, for the trail
    std::string returnUrl = {};      ///< empty: none
};

/// A new revision of a request's document, written with the change that makes it.
struct NewRevision {
    Bytes pdf;
    std::string sha256;  ///< lowercase hex of pdf
};

/// Where a link token leads.
struct LinkTarget {
    Request request;
    int position = 0;
};

/// One page message's samples for a signer, as appendSampleBatch stores them.
struct SampleAppend {
    std::int64_t signerId = 0;
    std::int64_t sequence = 0;
    ByteView samples;
};

/// What an Idempotency-Key recalls.
struct KeptAnswer {
    std::string answer;
};

/// How many requests are in each state; every state is listed, 0 when none.
using RequestCounts = std::vector<std::pair<RequestState, std::int64_t>>;

/// What one purge of ended requests did.
struct PurgedBatch {
    std::vector<std::string> requests;  ///< the requests purged, in the order they ended
    std::int64_t samples = 0;           ///< sample messages deleted
    std::int64_t files = 0;             ///< revision and upload files removed from the folder
    std::string filesLeft;  ///< why some files stayed (removed by a later sweep); empty: none
};

/// The most requests one listRequests answers: a page, never the whole store.
inline constexpr int kMaxListLimit = 1000;

class SigningStore {
public:
    virtual ~SigningStore() = default;

    // ---- documents and revisions ----
    /// Keeps `pdf` as `document` (whose sha256 and size the caller computed). Fails with
    /// conflict when the id is taken.
    virtual MaybeFailure addDocument(const Document& document, ByteView pdf) = 0;
    virtual Result<Document> document(const std::string& id) = 0;
    /// The bytes of an uploaded document, checked against its SHA-256.
    virtual Result<Bytes> documentBytes(const std::string& id) = 0;
    /// The revisions of a request, 0 (the upload) first.
    virtual Result<std::vector<Revision>> revisions(const std::string& requestId) = 0;
    /// The bytes of revision `number` of a request (0: the document as uploaded).
    virtual Result<Bytes> revisionBytes(const std::string& requestId, int number) = 0;

    // ---- requests ----
    /// Creates the request, its signers (waiting) and its first audit event, request.created.
    /// Fails with notFound for an unknown document, conflict for a taken id or token hash.
    virtual MaybeFailure createRequest(const NewRequest& request) = 0;
    virtual Result<Request> request(const std::string& id) = 0;
    /// The request and signer position a link token's hash belongs to; notFound otherwise.
    virtual Result<LinkTarget> requestForLink(ByteView tokenHash) = 0;
    /// The stored access-code hash of a signer, empty when they have none.
    virtual Result<std::string> accessCodeHash(const std::string& requestId, int position) = 0;
    /// Requests in id order after `after` (empty: from the start), at most `limit` (1 to
    /// kMaxListLimit, else invalid), only those in `state` when given.
    virtual Result<std::vector<Request>> listRequests(std::optional<RequestState> state,
                                                      const std::string& after, int limit) = 0;
    /// The number of requests in each state, in RequestState order, counted in one query.
    virtual Result<RequestCounts> requestCounts() = 0;
    /// Pending requests whose expiry is at or before `now`, at most `limit` ids.
    virtual Result<std::vector<std::string>> dueForExpiry(TimeMs now, int limit) = 0;

    /// The one way a request changes. In one write transaction: reads the request, asks
    /// `decide` what to do, and writes what it answers (states with their times, the audit
    /// events chained to the trail, the webhook events in the outbox, and `revision` as the
    /// next revision when given and the change does not refuse). Answers the request as
    /// committed; when the change carries a refusal (an expiry found on the way), the refusal
    /// after committing. A failure from `decide` writes nothing.
    using Decide = std::function<Result<Change>(const Request&)>;
    virtual Result<Request> change(const std::string& requestId, const Decide& decide,
                                   const NewRevision* revision = nullptr) = 0;

    /// The audit trail of a request, oldest first.
    virtual Result<std::vector<AuditEvent>> auditTrail(const std::string& requestId) = 0;

    // ---- retention ----
    /// Purges up to `limit` (1 to kMaxListLimit, else invalid) requests that ended at or
    /// before `endedBy` and are not purged yet, oldest end first. In one transaction, for each:
    /// deletes its signers' samples, marks it purged and appends request.purged (by `actor` at
    /// `now`, chained as every event) to its trail, and marks its document purged when no
    /// request that is not purged uses it any more. The request, its signers, the revisions'
    /// hashes and the trail stay. After the commit the revision files and a purged document's
    /// file are removed, as removePurgedFiles() does. A failure before the commit purges
    /// nothing; a failure to remove files leaves them for removePurgedFiles().
    virtual Result<PurgedBatch> purgeEnded(TimeMs endedBy, TimeMs now, const Actor& actor,
                                           int limit) = 0;
    /// Removes the files of up to `limit` purged requests whose removal was cut short (a crash
    /// after purgeEnded's commit): answers how many files it removed.
    virtual Result<std::int64_t> removePurgedFiles(int limit) = 0;
    /// Deletes up to `limit` Idempotency-Key answers kept before `keptBefore`, oldest first:
    /// answers how many.
    virtual Result<std::int64_t> forgetAnswers(TimeMs keptBefore, int limit) = 0;

    // ---- webhook outbox ----
    /// The entries due at `now`, the oldest undelivered one of each request only (events of
    /// one request go out in order), at most `limit`. Each is leased until now + `leaseMs`:
    /// another taker does not see it meanwhile, and a worker that dies lets it come back.
    virtual Result<std::vector<OutboxEntry>> takeDueOutbox(TimeMs now, TimeMs leaseMs,
                                                           int limit) = 0;
    /// The entry was delivered: it leaves the queue and the next of its request becomes due.
    virtual MaybeFailure outboxDelivered(std::int64_t id, TimeMs now) = 0;
    /// A delivery failed: try again at `nextAttemptAt`, or give the entry up when nullopt
    /// (nextAttempt() decides).
    virtual MaybeFailure outboxFailed(std::int64_t id, std::optional<TimeMs> nextAttemptAt,
                                      TimeMs now) = 0;
    /// How many entries wait for delivery.
    virtual Result<std::int64_t> outboxBacklog() = 0;

    // ---- a pad's samples ----
    /// Appends one page message's samples for a signer. A message number given again with the
    /// same bytes is accepted and changes nothing (the page resent it after a lost answer);
    /// with other bytes it fails with conflict.
    virtual MaybeFailure appendSamples(std::int64_t signerId, std::int64_t sequence,
                                       ByteView samples) = 0;
    /// Appends the messages of many pads in one transaction, so that one commit (one sync of
    /// the disk) makes them all durable. Each answer, in the batch's order, is what
    /// appendSamples would answer for its message; a message refused does not keep the others
    /// out. When the transaction itself fails, nothing is stored and every answer says why.
    virtual std::vector<MaybeFailure> appendSampleBatch(std::span<const SampleAppend> batch) = 0;
    /// Every stored message of a signer, in message order.
    virtual Result<std::vector<SampleBatch>> samples(std::int64_t signerId) = 0;

    // ---- API keys ----
    /// Fails with conflict when the name is taken (revoked names stay taken).
    virtual MaybeFailure addApiKey(const std::string& name, ByteView keyHash, TimeMs now) = 0;
    virtual Result<std::vector<ApiKey>> apiKeys() = 0;
    /// Fails with notFound for an unknown name, conflict when already revoked.
    virtual MaybeFailure revokeApiKey(const std::string& name, TimeMs now) = 0;
    /// The name of the key with this hash, unless revoked; forbidden otherwise.
    virtual Result<std::string> apiKeyNamed(ByteView keyHash) = 0;

    // ---- Idempotency-Key ----
    /// The answer kept for `key` in `scope` (an API key's name), nullopt when none; fails with
    /// conflict when it was kept for a body with another hash.
    virtual Result<std::optional<KeptAnswer>> recallAnswer(const std::string& scope,
                                                           const std::string& key,
                                                           ByteView bodyHash) = 0;
    /// Keeps `answer` for the key unless one is kept already, and answers the one kept (the
    /// first, when two requests raced); conflict as recallAnswer.
    virtual Result<KeptAnswer> keepAnswer(const std::string& scope, const std::string& key,
                                          ByteView bodyHash, const std::string& answer,
                                          TimeMs now) = 0;
};

}  // namespace penwell::service
