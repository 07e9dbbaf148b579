#pragma once
// Inside the server (not installed): a signer's pad, and the WebSocket that currently shows it.
// The pad (the controller on its strand) outlives a connection that drops, for the resume
// grace, so that a network blip does not cost the signature.

#include <deque>
#include <memory>
#include <string>

#include "penwell/host/web/ServerState.h"
#include "penwell/host/web/links/LinkPad.h"

namespace penwell::web {

/// One signer's pad: the controller on its run loop and strand, and the connection that
/// currently shows it. It outlives a connection that drops, for resumeGrace().
class Pad final : public Sink, public std::enable_shared_from_this<Pad> {
public:
    Pad(Strand s, std::shared_ptr<Server::Impl> server, std::string from);
    ~Pad() override;

    void sendText(std::string text) override;
    void sendBinary(std::string bytes) override;
    void log(const std::string& line) override { serverLog("session " + id() + ": " + line); }
    void refuse(const std::string& reason) override;

    std::size_t held() const { return core ? core->heldSamples() : 0; }
    std::string id() const { return token.substr(0, 8); }

    Strand strand;
    std::shared_ptr<asio::AsioRunLoop> loop;
    std::unique_ptr<SigningSession> core;
    std::string token;
    PadSocket* connection = nullptr;  // on the strand; cleared by the connection as it goes
    net::steady_timer grace;
    const std::string address;  // the signer's, as the per-address limits count it
    /// A signing link's pad: its settings, and its messages kept before they are taken.
    std::shared_ptr<links::LinkPad> link;
    bool pageResumes = false;  // the current connection's page came back to this pad

private:
    std::shared_ptr<Server::Impl> server_;
};

/// A pad's WebSocket: the page's messages in, the pad's pictures and state out (one patch per
/// animation frame at most), closed when idle, when the page misbehaves or the server stops.
class PadSocket final : public std::enable_shared_from_this<PadSocket> {
public:
    PadSocket(tcp::socket socket, std::shared_ptr<Pad> pad, std::shared_ptr<Server::Impl> server);
    ~PadSocket();

    /// Completes the handshake of `request`, then greets the page and reads its messages.
    void start(http::request<http::string_body> request);

    /// Closes the session with a reason the page shows and the log keeps; the server and
    /// other sessions go on. The pad goes with it.
    void fail(const std::string& reason,
              websocket::close_code code = websocket::close_code::policy_error);

    const Strand& strand() const { return pad_->strand; }

    /// Cut off without a close: the page came back on another connection before this one
    /// noticed it was gone, or the server has stopped and lets go of what is left.
    void cutOff();

    void enqueue(std::string data, bool binary);
    void scheduleFlush();

private:
    void accepted(beast::error_code ec);
    /// Greets the page and starts reading: the pad is ready.
    void greet(bool resumed);
    void read();
    void received(beast::error_code ec);
    /// Hands a signing link's message numbered `number` to the store.
    void store(std::string text, std::int64_t number);
    /// The store's answer for the message `id`.
    void stored(std::uint64_t id, std::int64_t number, const MaybeFailure& failed, double seconds);
    /// The session takes one message of the page; false when it refuses it (the session is
    /// then closed).
    bool take(const std::string& text);
    /// The connection dropped without a close: keep the pad for the page to come back to,
    /// unless it holds nothing (a page that comes back then starts on a fresh pad, which is
    /// the same): a socket opened and dropped must not hold a signer's place for the grace.
    void park(beast::error_code ec);
    void armIdle();
    void write();
    void written(beast::error_code ec);

    struct Outgoing {
        std::string data;
        bool binary = false;
    };
    /// A page message read while earlier ones are being stored, taken in the order read.
    struct Incoming {
        std::string text;
        bool stored = false;  ///< in the store, or not one to store
        std::uint64_t id = 0;
    };
    /// How many messages a signing link's page may be ahead of the store.
    static constexpr std::size_t kMaxStoring = 8;

    websocket::stream<beast::tcp_stream> ws_;
    std::shared_ptr<Pad> pad_;
    std::shared_ptr<Server::Impl> server_;
    beast::flat_buffer buffer_;
    net::steady_timer flushTimer_;
    net::steady_timer idleTimer_;
    Clock::time_point lastFlush_{};
    Clock::duration flushGap_;
    Clock::time_point lastActivity_{};
    std::deque<Outgoing> queue_;
    std::deque<Incoming> incoming_;
    std::uint64_t lastIncoming_ = 0;
    std::size_t storing_ = 0;  // messages handed to the store and not answered yet
    bool readWaits_ = false;   // kMaxStoring reached: the next read waits for an answer
    std::size_t queued_ = 0;
    std::uint64_t bytesQueued_ = 0;
    /// The store's time for a signing link's messages since the last flush (each message's
    /// share of its batch): part of what a sample costs the server, which the load benchmark
    /// counts with the session's own work.
    double keptSeconds_ = 0.0;
    bool writing_ = false;
    bool closing_ = false;
    bool flushScheduled_ = false;
};

}  // namespace penwell::web
