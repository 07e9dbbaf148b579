#include "penwell/host/web/PadSocket.h"

namespace penwell::web {

namespace {

/// Output a page has not read yet; past it the page is taken as gone.
constexpr std::size_t kMaxQueuedBytes = 16 * 1024 * 1024;
/// One patch per animation frame at most.
constexpr auto kFrame = std::chrono::milliseconds(16);
/// A session's patches take at most this share of a thread: after a costly flush (a whole pad
/// painted again at a dense screen's scale) the next one waits, so that one session's pictures
/// do not hold up everyone's ink.
constexpr double kFlushShare = 0.25;

const auto kIdleClose = static_cast<websocket::close_code>(kIdleCloseCode);

}  // namespace

Pad::Pad(Strand s, std::shared_ptr<Server::Impl> server, std::string from)
    : strand(s),
      loop(std::make_shared<asio::AsioRunLoop>(s)),
      grace(s),
      address(std::move(from)),
      server_(std::move(server)) {}

Pad::~Pad() {
    core.reset();  // the controller goes before the loop its work was scheduled on
    server_->padGone(address);
}

void Pad::sendText(std::string text) {
    if (connection != nullptr) {
        connection->enqueue(std::move(text), false);
    }
}

void Pad::sendBinary(std::string bytes) {
    if (connection != nullptr) {
        connection->enqueue(std::move(bytes), true);
    }
}

void Pad::refuse(const std::string& reason) {
    if (connection != nullptr) {
        connection->fail(reason);
    }
}

PadSocket::PadSocket(tcp::socket socket, std::shared_ptr<Pad> pad,
                     std::shared_ptr<Server::Impl> server)
    : ws_(std::move(socket)),
      pad_(std::move(pad)),
      server_(std::move(server)),
      flushTimer_(pad_->strand),
      idleTimer_(pad_->strand),
      flushGap_(kFrame) {}

PadSocket::~PadSocket() {
    if (pad_->connection == this) {
        pad_->connection = nullptr;
    }
}

void PadSocket::start(http::request<http::string_body> request) {
    // A flush writes a patch and then the small state message right behind it: without
    // this the state waits for the patch's acknowledgement (Nagle's algorithm), and the
    // page learns late that its ink is the server's.
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().set_option(tcp::no_delay(true), ignored);
    ws_.set_option(websocket::stream_base::timeout{std::chrono::seconds(30),
                                                   websocket::stream_base::none(), false});
    ws_.read_message_max(server_->options.pad.limits.messageBytes);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& r) { r.set(http::field::server, "penwell"); }));
    ws_.async_accept(request,
                     [self = shared_from_this()](beast::error_code ec) { self->accepted(ec); });
}

void PadSocket::fail(const std::string& reason, websocket::close_code code) {
    if (closing_) {
        return;
    }
    closing_ = true;
    flushTimer_.cancel();
    idleTimer_.cancel();
    pad_->log("closed: " + reason + " (" + std::to_string(pad_->held()) + " samples held)");
    ws_.async_close(websocket::close_reason(code, closeReason(reason)),
                    [self = shared_from_this()](beast::error_code) {});
}

void PadSocket::cutOff() {
    closing_ = true;
    flushTimer_.cancel();
    idleTimer_.cancel();
    beast::get_lowest_layer(ws_).close();
}

void PadSocket::enqueue(std::string data, bool binary) {
    if (closing_) {
        return;
    }
    queued_ += data.size();
    bytesQueued_ += data.size();
    if (queued_ > kMaxQueuedBytes) {
        fail("the page does not read what it is sent");
        return;
    }
    queue_.push_back({std::move(data), binary});
    if (!writing_) {
        write();
    }
}

void PadSocket::scheduleFlush() {
    if (flushScheduled_ || closing_ || !pad_->core) {
        return;
    }
    flushScheduled_ = true;
    flushTimer_.expires_at(std::max(Clock::now(), lastFlush_ + flushGap_));
    flushTimer_.async_wait([self = shared_from_this()](beast::error_code ec) {
        self->flushScheduled_ = false;
        if (ec || self->closing_) {
            return;
        }
        self->lastFlush_ = Clock::now();
        const std::uint64_t before = self->bytesQueued_;
        self->pad_->core->flush();
        const auto cost = Clock::now() - self->lastFlush_;
        self->flushGap_ = std::max<Clock::duration>(
            kFrame, std::chrono::duration_cast<Clock::duration>(cost / kFlushShare));
        const auto [seconds, samples] = self->pad_->core->takeWork();
        self->server_->record(seconds + std::exchange(self->keptSeconds_, 0.0), samples,
                              self->bytesQueued_ - before);
    });
}

void PadSocket::accepted(beast::error_code ec) {
    if (ec) {
        return;
    }
    Pad& pad = *pad_;
    const bool resumed = pad.core != nullptr;
    if (resumed) {
        pad.grace.cancel();
        pad.core->resync();
        pad.log("the page came back (" + std::to_string(pad.held()) + " samples held)");
    } else {
        Result<std::string> token =
            pad.link ? Result<std::string>(pad.link->key()) : ResumeRegistry::newToken();
        if (!token) {
            fail("the pad cannot be made: " + token.error().message,
                 websocket::close_code::internal_error);
            return;
        }
        pad.token = std::move(*token);
        // The controller's own failures (Penwell.dat unreadable, say) are reported when Done
        // exports; what can throw here is memory running out, which this guard turns into
        // one closed session rather than a stopped server.
        try {
            pad.core = std::make_unique<SigningSession>(
                pad.link ? pad.link->settings() : server_->options.pad, pad.loop, pad);
        } catch (const std::exception& e) {
            fail(std::string("the pad cannot be made: ") + e.what(),
                 websocket::close_code::internal_error);
            return;
        }
        server_->resumable.add(pad.token, pad_);
        pad.loop->setAfterWork([weak = std::weak_ptr<Pad>(pad_)] {
            if (auto p = weak.lock(); p && p->connection) {
                p->connection->scheduleFlush();
            }
        });
    }
    if (pad.link && !resumed) {
        // The stored ink goes onto the pad after the controller's first work on its loop.
        pad.loop->post([self = shared_from_this()] {
            if (self->closing_) {
                return;
            }
            if (const MaybeFailure failed = self->pad_->link->restore(*self->pad_->core)) {
                self->fail("the pad cannot be rebuilt: " + failed->message,
                           websocket::close_code::internal_error);
                return;
            }
            self->greet(self->pad_->pageResumes);
        });
        return;
    }
    greet(pad.link ? pad.pageResumes : resumed);
}

void PadSocket::greet(bool resumed) {
    Pad& pad = *pad_;
    if (pad.connection != nullptr && pad.connection != this) {
        pad.connection->cutOff();
    }
    pad.connection = this;
    if (!resumed) {
        pad.core->resync();  // a page loaded afresh is sent the whole pad
    }
    enqueue(pad.core->hello(pad.token, resumed), false);
    scheduleFlush();
    lastActivity_ = Clock::now();
    armIdle();
    read();
}

void PadSocket::read() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
        self->received(ec);
    });
}

void PadSocket::received(beast::error_code ec) {
    if (ec) {
        const bool wasClosing = std::exchange(closing_, true);
        flushTimer_.cancel();
        idleTimer_.cancel();
        if (wasClosing) {
            return;  // our own close, logged when it began
        }
        if (ec == websocket::error::message_too_big) {
            pad_->log("closed: a message of more than " +
                      std::to_string(server_->options.pad.limits.messageBytes) + " bytes (" +
                      std::to_string(pad_->held()) + " samples held)");
        } else if (ec == websocket::error::closed) {
            pad_->log("closed by the page (" + std::to_string(pad_->held()) + " samples held)");
        } else {
            park(ec);
        }
        return;
    }
    if (closing_) {
        return;
    }
    if (!ws_.got_text()) {
        fail("binary messages are not accepted");
        return;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    lastActivity_ = Clock::now();
    if (pad_->link) {
        // A signing link's message is in the store before the session takes it, so that what
        // the page is told was taken survives the server.
        const Result<std::optional<std::int64_t>> sequence = pad_->link->toKeep(text);
        if (!sequence) {
            fail(sequence.error().message);
            return;
        }
        if (*sequence) {
            store(std::move(text), **sequence);
            return;
        }
        if (!incoming_.empty()) {
            incoming_.push_back({std::move(text), true, 0});  // taken behind those being stored
            if (!closing_) {
                read();
            }
            return;
        }
    }
    if (take(text) && !closing_) {
        read();
    }
}

void PadSocket::store(std::string text, std::int64_t number) {
    // The store's writer commits the message with other pads' (SampleCommitter); meanwhile
    // this connection reads on, up to kMaxStoring messages ahead, and the session takes the
    // messages in the order they came as the store answers.
    const std::uint64_t id = ++lastIncoming_;
    Bytes bytes(text.begin(), text.end());
    incoming_.push_back({std::move(text), false, id});
    ++storing_;
    // The writer holds this connection weakly: were it the last owner, the server could end
    // on the writer's own thread, which the server's end joins. A connection gone meanwhile
    // takes nothing; its page sends the message again on its next one, where it is stored
    // already and taken.
    server_->sampleCommitter->submit(
        pad_->link->token(), number, std::move(bytes),
        [weak = weak_from_this(), strand = pad_->strand, id, number](MaybeFailure failed,
                                                                      double seconds) {
            net::post(strand, [weak, id, number, failed = std::move(failed), seconds] {
                if (const auto self = weak.lock()) {
                    self->stored(id, number, failed, seconds);
                }
            });
        });
    if (closing_) {
        return;
    }
    if (storing_ < kMaxStoring) {
        read();
    } else {
        readWaits_ = true;
    }
}

void PadSocket::stored(std::uint64_t id, std::int64_t number, const MaybeFailure& failed,
                       double seconds) {
    keptSeconds_ += seconds;
    --storing_;
    const auto it = std::find_if(incoming_.begin(), incoming_.end(),
                                 [id](const Incoming& m) { return m.id == id; });
    if (it == incoming_.end()) {
        return;  // dropped after an earlier message failed
    }
    if (failed) {
        // Neither this message nor any read after it is taken or acknowledged: the page sends
        // them all again on its next connection (the store refuses the later ones meanwhile).
        incoming_.erase(it, incoming_.end());
        fail(failed->message);
        return;
    }
    pad_->link->kept(number);
    it->stored = true;
    // Even when this connection is closing meanwhile, the pad takes what is stored: the pad
    // outlives the connection, and the page, told nothing, sends it again on the next one,
    // where it is known as taken.
    while (!incoming_.empty() && incoming_.front().stored) {
        const std::string text = std::move(incoming_.front().text);
        incoming_.pop_front();
        if (!take(text)) {
            incoming_.clear();
            return;
        }
    }
    if (std::exchange(readWaits_, false) && !closing_) {
        read();
    }
}

bool PadSocket::take(const std::string& text) {
    if (!pad_->core) {
        return false;
    }
    // A message refused is the page's fault: its session closes with the reason. The catch is
    // the last guard of the session's work on a shared thread (memory running out, a fault
    // of the server's own), so that it costs one signer's session, not every signer's.
    try {
        if (const MaybeFailure refused = pad_->core->receive(text)) {
            fail(refused->message);
            return false;
        }
    } catch (const std::exception& e) {
        fail(std::string("the server failed: ") + e.what(), websocket::close_code::internal_error);
        return false;
    }
    scheduleFlush();
    return true;
}

void PadSocket::park(beast::error_code ec) {
    if (server_->stopping || !pad_->core) {
        return;
    }
    if (pad_->held() == 0) {
        pad_->log("the connection dropped (" + ec.message() +
                  "); nothing on the pad, so it is not kept");
        return;
    }
    const auto grace = server_->resumeGrace();
    pad_->log("the connection dropped (" + ec.message() + "); the pad waits " +
              std::to_string(grace.count()) + " s for the page (" + std::to_string(pad_->held()) +
              " samples held)");
    server_->resumable.park(pad_->token, pad_);
    pad_->grace.expires_after(grace);
    pad_->grace.async_wait([pad = std::weak_ptr<Pad>(pad_), server = server_,
                            grace](beast::error_code waited) {
        auto p = pad.lock();
        if (waited || !p) {
            return;
        }
        if (server->resumable.expire(p->token)) {
            p->log("closed: the page did not come back within " + std::to_string(grace.count()) +
                   " s (" + std::to_string(p->held()) + " samples discarded)");
        }
    });
}

void PadSocket::armIdle() {
    const auto limit = server_->options.idleTimeout;
    idleTimer_.expires_at(lastActivity_ + limit);
    idleTimer_.async_wait([self = shared_from_this(), limit](beast::error_code ec) {
        if (ec || self->closing_) {
            return;
        }
        if (Clock::now() >= self->lastActivity_ + limit) {
            self->fail("idle for " + std::to_string(limit.count()) + " seconds", kIdleClose);
        } else {
            self->armIdle();
        }
    });
}

void PadSocket::write() {
    writing_ = true;
    ws_.binary(queue_.front().binary);
    ws_.async_write(
        net::buffer(queue_.front().data),
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->written(ec); });
}

void PadSocket::written(beast::error_code ec) {
    queued_ -= queue_.front().data.size();
    queue_.pop_front();
    writing_ = false;
    if (ec) {
        return;  // the read fails too, and decides what becomes of the pad
    }
    if (!queue_.empty() && !closing_) {
        write();
    }
}

}  // namespace penwell::web
