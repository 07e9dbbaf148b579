#pragma once
// Group commit for signing links' page messages. A message is acknowledged to its page only
// once it is on disk, and a commit costs a sync of the disk: one transaction per message lets
// a few dozen signers fill the disk's whole capacity with syncs, and a pad's connection waits
// on them meanwhile. Here every connection hands its messages to one writer thread and reads
// on; the writer stores whatever all pads sent meanwhile in one transaction and then answers
// each, in the order handed in. The guarantee is the same (acknowledged means durable); the
// syncs are one per batch instead of one per message.
//
// A pad's messages stay in order and without gaps: a batch holds at most one message of each
// link, and once one of a link's messages is refused, the later ones handed in for it are
// refused unstored, until the page sends that message (or an earlier one) again on its next
// connection. Otherwise a pad rebuilt from the store could hold a message without the one
// before it, which its page, never told of either, would send again only to see it ignored.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Result.h"

namespace penwell::service {

class SigningService;

class SampleCommitter {
public:
    /// Called on the writer's thread once the message is stored (no failure) or refused (the
    /// reason). `seconds` is the message's share of the writer's time for its batch: what
    /// storing it cost the server.
    using Done = std::function<void(MaybeFailure failure, double seconds)>;

    /// At most this many messages go into one transaction; more wait for the next.
    static constexpr std::size_t kMaxBatch = 512;

    explicit SampleCommitter(std::shared_ptr<SigningService> service);
    /// Stores and answers every message handed in before, then stops the writer.
    ~SampleCommitter();
    SampleCommitter(const SampleCommitter&) = delete;
    SampleCommitter& operator=(const SampleCommitter&) = delete;

    /// Hands one page message of the signing link `token` to the writer; a link's messages
    /// are answered in the order handed in.
    void submit(std::string token, std::int64_t sequence, Bytes samples, Done done);

    /// How many links whose messages are refused after an earlier one are remembered; past
    /// it the oldest are forgotten (a page comes back within seconds, or not at all).
    static constexpr std::size_t kMaxBrokenLinks = 4096;

private:
    struct Message {
        std::string token;
        std::int64_t sequence = 0;
        Bytes samples;
        Done done;
    };

    void run();
    /// Moves into `batch` the first waiting message of each link, at most kMaxBatch.
    void takeBatch(std::vector<Message>& batch);
    void commit(std::vector<Message>& batch);

    std::shared_ptr<SigningService> service_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Message> waiting_;
    bool stopping_ = false;
    /// The writer's own: for each link with a refused message, that message's number.
    std::map<std::string, std::int64_t> broken_;
    std::deque<std::string> brokenOrder_;
    std::thread thread_;  // last: it runs once everything above is made
};

}  // namespace penwell::service
