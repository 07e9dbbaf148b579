#include "penwell/service/SampleCommitter.h"

#include <chrono>
#include <set>
#include <utility>

#include "penwell/service/SigningService.h"

namespace penwell::service {

SampleCommitter::SampleCommitter(std::shared_ptr<SigningService> service)
    : service_(std::move(service)), thread_([this] { run(); }) {}

SampleCommitter::~SampleCommitter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void SampleCommitter::submit(std::string token, std::int64_t sequence, Bytes samples, Done done) {
    {
        std::lock_guard lock(mutex_);
        waiting_.push_back({std::move(token), sequence, std::move(samples), std::move(done)});
    }
    wake_.notify_one();
}

void SampleCommitter::run() {
    std::vector<Message> batch;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (waiting_.empty()) {
                return;  // stopping, and everything handed in is answered
            }
            takeBatch(batch);
        }
        commit(batch);
        batch.clear();
    }
}

void SampleCommitter::takeBatch(std::vector<Message>& batch) {
    std::set<std::string> links;
    std::deque<Message> later;
    while (!waiting_.empty()) {
        Message& next = waiting_.front();
        if (batch.size() < kMaxBatch && links.insert(next.token).second) {
            batch.push_back(std::move(next));
        } else {
            later.push_back(std::move(next));
        }
        waiting_.pop_front();
    }
    waiting_ = std::move(later);
}

void SampleCommitter::commit(std::vector<Message>& batch) {
    const auto started = std::chrono::steady_clock::now();
    std::vector<MaybeFailure> answers(batch.size());
    std::vector<SigningService::LinkMessage> messages;
    std::vector<std::size_t> asked;  // which message of the batch each of `messages` is
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const Message& m = batch[i];
        const auto broken = broken_.find(m.token);
        if (broken != broken_.end() && m.sequence > broken->second) {
            answers[i] = Failure{kServiceDomain, static_cast<std::int64_t>(ServiceCode::conflict),
                                 "message " + std::to_string(m.sequence) + " follows message " +
                                     std::to_string(broken->second) + ", which was not stored"};
            continue;
        }
        if (broken != broken_.end()) {
            broken_.erase(broken);  // the page sends the refused message again: a new start
        }
        messages.push_back({m.token, m.sequence, m.samples});
        asked.push_back(i);
    }
    std::vector<MaybeFailure> stored = service_->appendSampleBatch(messages);
    for (std::size_t j = 0; j < asked.size(); ++j) {
        const Message& m = batch[asked[j]];
        if (stored[j] && broken_.emplace(m.token, m.sequence).second) {
            brokenOrder_.push_back(m.token);
        }
        answers[asked[j]] = std::move(stored[j]);
    }
    while (brokenOrder_.size() > kMaxBrokenLinks) {
        broken_.erase(brokenOrder_.front());
        brokenOrder_.pop_front();
    }
    const double share =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() /
        static_cast<double>(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        batch[i].done(std::move(answers[i]), share);
    }
}

}  // namespace penwell::service
