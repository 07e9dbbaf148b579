#pragma once
// One simulated signer of the load generator (ServeLoad.cpp): a WebSocket client over loopback
// that writes at 240 samples per second as a page sends them (one numbered message of four
// coalesced pen samples per 60 Hz frame), in strokes of one second with a Clear every eight,
// and times each message's round trip to the state that acknowledges it. A snapshot client
// instead writes a short signature first and then asks for the whole pad again and again.

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace penwell::web::bench {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

using Clock = std::chrono::steady_clock;

constexpr double kRate = 240.0;
/// A snapshot client writes this many one-second strokes before the run, so that its
/// snapshots have ink to paint.
constexpr int kSnapshotStrokes = 3;
constexpr auto kFrame = std::chrono::microseconds(16667);

class Signer : public std::enable_shared_from_this<Signer> {
public:
    /// A `snapshots` client asks for the whole pad again as soon as a snapshot has come. `path`
    /// is the pad's WebSocket: the free pad's, or a signing link's (/s/TOKEN/ws).
    Signer(net::io_context& io, std::uint16_t port, int index, int scale, bool snapshots = false,
           std::string path = "/ws")
        : ws_(io),
          timer_(io),
          port_(port),
          index_(index),
          scale_(scale),
          snapshots_(snapshots),
          path_(std::move(path)) {}

    void connect() {
        beast::get_lowest_layer(ws_).connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), port_));
        const std::string origin = "http://127.0.0.1:" + std::to_string(port_);
        ws_.set_option(websocket::stream_base::decorator(
            [origin](websocket::request_type& r) { r.set(beast::http::field::origin, origin); }));
        ws_.handshake("127.0.0.1:" + std::to_string(port_), path_);
        if (scale_ != 1) {
            // A page on a screen with scale_ device pixels per CSS pixel says so first.
            ws_.write(net::buffer(R"({"type":"config","scale":)" + std::to_string(scale_) + "}"));
        }
        if (snapshots_) {
            // Its signature, taken whole before the run begins.
            std::string message;
            while (strokes_ < kSnapshotStrokes || inStroke_ != 0) {
                message = next();
                strokes_ += inStroke_ == 0;
                message.back() = ',';
                ws_.write(net::buffer(message + "\"seq\":" + std::to_string(++seq_) + "}"));
            }
            for (beast::flat_buffer buffer;; buffer.consume(buffer.size())) {
                ws_.read(buffer);
                const std::string text = beast::buffers_to_string(buffer.data());
                if (ws_.got_text() &&
                    text.find("\"seq\":" + std::to_string(seq_) + ",") != std::string::npos) {
                    break;
                }
            }
        }
    }

    void start(Clock::time_point until) {
        until_ = until;
        read();
        tick();
    }

    std::uint64_t received = 0;
    /// Milliseconds from a message's send to the state that acknowledges it.
    std::vector<double> roundTrips;
    int snapshotsAnswered = 0;

private:
    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            if (ec) {
                return;
            }
            self->received += n;
            self->took(beast::buffers_to_string(self->buffer_.data()), self->ws_.got_text());
            self->buffer_.consume(n);
            self->read();
        });
    }

    void took(const std::string& message, bool text) {
        if (text) {
            // {"type":"state",...,"seq":N}: every message up to N has been taken and painted.
            const auto at = message.find("\"seq\":");
            if (message.find("\"type\":\"state\"") == std::string::npos || at == std::string::npos) {
                return;
            }
            const long acknowledged = std::stol(message.substr(at + 6));
            const auto now = Clock::now();
            while (!sent_.empty() && sent_.front().first <= acknowledged) {
                roundTrips.push_back(
                    std::chrono::duration<double, std::milli>(now - sent_.front().second).count());
                sent_.pop_front();
            }
            return;
        }
        // A snapshot's tiles come in rows from the top: the one at the bottom right is its last.
        const auto field = [&](std::size_t offset) {
            return static_cast<std::uint8_t>(message[offset]) |
                   static_cast<std::uint8_t>(message[offset + 1]) << 8;
        };
        if (snapshots_ && message.size() > 9 && message[0] == 2 &&
            field(1) + field(5) == 600 * scale_ && field(3) + field(7) == 250 * scale_) {
            ++snapshotsAnswered;
            snapshotWanted_ = true;
        }
    }

    /// The next frame's message: a down, a move of four samples, or an up.
    std::string next() {
        const int perStroke = static_cast<int>(kRate);  // one second of writing
        auto sample = [this](int i) {
            const double t = 1.0 + sampleIndex_ / kRate;
            const double x = 40.0 + 500.0 * i / perStroke;
            const double y = 125.0 + 60.0 * std::sin(i * 0.05 + index_);
            ++sampleIndex_;
            char text[96];
            std::snprintf(text, sizeof text, "[%.6f,%.2f,%.2f,0.5]", t, x, y);
            return std::string(text);
        };
        if (inStroke_ == 0) {
            inStroke_ = 1;
            return R"({"type":"down","pointer":"pen","samples":[)" + sample(0) + "]}";
        }
        if (inStroke_ >= perStroke) {
            inStroke_ = 0;
            // A clear now and then keeps the pad from filling up over a long run.
            return R"({"type":"up","pointer":"pen","samples":[)" + sample(perStroke) + "]}";
        }
        std::string samples;
        for (int k = 0; k < 4 && inStroke_ < perStroke; ++k, ++inStroke_) {
            samples += (samples.empty() ? "" : ",") + sample(inStroke_);
        }
        return R"({"type":"move","pointer":"pen","samples":[)" + samples + "]}";
    }

    void tick() {
        if (Clock::now() >= until_) {
            ws_.async_close(websocket::close_code::normal,
                            [self = shared_from_this()](beast::error_code) {});
            return;
        }
        if (!writing_) {
            if (snapshots_) {
                if (std::exchange(snapshotWanted_, false)) {
                    write(R"({"type":"snapshot"})");
                }
            } else {
                std::string message =
                    inStroke_ == 0 && strokes_++ % 8 == 7 ? R"({"type":"clear"})" : next();
                // Numbered, so that the state acknowledging it can be told.
                message.back() = ',';
                message += "\"seq\":" + std::to_string(++seq_) + "}";
                sent_.emplace_back(seq_, Clock::now());
                write(std::move(message));
            }
        }
        timer_.expires_after(kFrame);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->tick();
            }
        });
    }

    void write(std::string message) {
        outgoing_ = std::move(message);
        writing_ = true;
        ws_.async_write(net::buffer(outgoing_),
                        [self = shared_from_this()](beast::error_code, std::size_t) {
                            self->writing_ = false;
                        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    net::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::uint16_t port_;
    int index_;
    int scale_;
    bool snapshots_;
    std::string path_;
    bool snapshotWanted_ = true;
    long seq_ = 0;
    std::deque<std::pair<long, Clock::time_point>> sent_;
    Clock::time_point until_;
    std::string outgoing_;
    bool writing_ = false;
    int inStroke_ = 0;
    int strokes_ = 0;
    long sampleIndex_ = 0;
};

}  // namespace penwell::web::bench
