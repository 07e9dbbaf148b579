// Load generator for `penwell serve`: N simulated signers, each a WebSocket client over
// loopback (a page at --scale device pixels per point) that writes at 240 samples per second, sent
// as a page sends them (one message of coalesced samples per 60 Hz frame), in strokes of one second
// with a short pause between. The server runs in this process so that it can report its own time
// per sample (messages in to patch out, without the wait for the next frame); the clients run on a
// thread of their own.
//
//   penwell_serve_load [--scale=S] [SECONDS] [N...]   default: 5 seconds, N = 1 10 50
//   penwell_serve_load --snapshots [SECONDS] [N] [ROUNDS]   default: 10 seconds, N = 20, 3
//
// --snapshots: the round trip of N signers (a message sent to the state that acknowledges it),
// alone and then with 4 more clients at 4 pixels per point that write a signature of three
// one-second strokes and then ask for whole-pad snapshots, each as soon as the last has come;
// ROUNDS such pairs in one run, each pair's p95 ratio and their median last, so that a shared
// machine's changing load shows as spread rather than as one pair's ratio.

#include <unistd.h>
#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cmath>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "penwell/host/web/Server.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using namespace penwell::web;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kRate = 240.0;
/// A snapshot client writes this many one-second strokes before the run, so that its
/// snapshots have ink to paint.
constexpr int kSnapshotStrokes = 3;
constexpr auto kFrame = std::chrono::microseconds(16667);

double residentMiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

class Signer : public std::enable_shared_from_this<Signer> {
public:
    /// A `snapshots` client asks for the whole pad again as soon as a snapshot has come.
    Signer(net::io_context& io, std::uint16_t port, int index, int scale, bool snapshots = false)
        : ws_(io), timer_(io), port_(port), index_(index), scale_(scale), snapshots_(snapshots) {}

    void connect() {
        beast::get_lowest_layer(ws_).connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), port_));
        const std::string origin = "http://127.0.0.1:" + std::to_string(port_);
        ws_.set_option(websocket::stream_base::decorator(
            [origin](websocket::request_type& r) { r.set(beast::http::field::origin, origin); }));
        ws_.handshake("127.0.0.1:" + std::to_string(port_), "/ws");
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

double percentile(std::vector<std::pair<double, std::size_t>> values, double q) {
    std::sort(values.begin(), values.end());
    std::size_t total = 0;
    for (const auto& v : values) {
        total += v.second;
    }
    std::size_t seen = 0;
    for (const auto& [value, weight] : values) {
        seen += weight;
        if (static_cast<double>(seen) >= q * static_cast<double>(total)) {
            return value;
        }
    }
    return values.empty() ? 0.0 : values.back().first;
}

/// The value at fraction `q` of `values`, sorted.
double quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
}

/// `kSigners` signers at 240 Hz, alone and with 4 snapshot clients at DPR 4, `rounds` times:
/// a row each, then the p95 ratios.
int snapshotRun(double seconds, int kSigners, int rounds) {
    constexpr int kSnapshotters = 4;
    std::printf(
        "| Signers | Snapshot clients (DPR 4) | Snapshots answered | Signers' round trip p50 | "
        "p95 | p99 |\n|---:|---:|---:|---:|---:|---:|\n");
    std::vector<double> ratios;
    double quietP95 = 0;
    for (int run = 0; run < 2 * rounds; ++run) {
        const int snapshotters = run % 2 == 0 ? 0 : kSnapshotters;
        ServerOptions options;
        options.port = 0;
        options.maxSessions = static_cast<std::size_t>(kSigners + snapshotters);
        options.handleSignals = false;
        options.pad.smoothing = false;
        const std::unique_ptr<Server> started = Server::listen(options).value();
        Server& server = *started;
        std::thread serverThread([&] { server.run(); });
        net::io_context io;
        std::vector<std::shared_ptr<Signer>> clients;
        for (int i = 0; i < kSigners + snapshotters; ++i) {
            const bool asks = i >= kSigners;
            clients.push_back(std::make_shared<Signer>(io, server.port(), i, asks ? 4 : 1, asks));
            clients.back()->connect();
        }
        const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds));
        for (auto& c : clients) {
            c->start(until);
        }
        io.run();
        server.stop();
        serverThread.join();
        std::vector<double> trips;
        int answered = 0;
        for (int i = 0; i < kSigners + snapshotters; ++i) {
            const auto& c = *clients[static_cast<std::size_t>(i)];
            trips.insert(trips.end(), c.roundTrips.begin(), c.roundTrips.end());
            answered += c.snapshotsAnswered;
        }
        const double p95 = quantile(trips, 0.95);
        std::printf("| %d | %d | %d | %.1f ms | %.1f ms | %.1f ms |\n", kSigners, snapshotters,
                    answered, quantile(trips, 0.5), p95, quantile(trips, 0.99));
        std::fflush(stdout);
        if (snapshotters == 0) {
            quietP95 = p95;
        } else if (quietP95 > 0) {
            ratios.push_back(p95 / quietP95);
        }
    }
    std::printf("\nSigners' p95 with snapshot clients over the quiet p95 before it:");
    for (const double r : ratios) {
        std::printf(" %.2f", r);
    }
    std::printf("; median %.2f\n", quantile(ratios, 0.5));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // penwell_serve_load [--scale=S] [SECONDS] [N...]: S is the pages' pixels per point.
    int scale = 1;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "--snapshots") {
        return snapshotRun(args.size() > 1 ? std::stod(args[1]) : 10.0,
                           args.size() > 2 ? std::stoi(args[2]) : 20,
                           args.size() > 3 ? std::max(1, std::stoi(args[3])) : 3);
    }
    if (!args.empty() && args.front().starts_with("--scale=")) {
        scale = std::stoi(args.front().substr(8));
        args.erase(args.begin());
    }
    const double seconds = !args.empty() ? std::stod(args[0]) : 5.0;
    std::vector<int> counts;
    for (std::size_t i = 1; i < args.size(); ++i) {
        counts.push_back(std::stoi(args[i]));
    }
    if (counts.empty()) {
        counts = {1, 10, 50};
    }
    std::printf(
        "| Signers | Samples | Server time per sample p50 | p99 | Bytes sent per sample | "
        "Memory per session |\n|---:|---:|---:|---:|---:|---:|\n");
    for (const int n : counts) {
        ServerOptions options;
        options.port = 0;
        options.maxSessions = static_cast<std::size_t>(n);
        options.handleSignals = false;
        options.pad.smoothing = false;
        const std::unique_ptr<Server> started = Server::listen(options).value();
        Server& server = *started;
        server.collectStats();
        std::thread serverThread([&] { server.run(); });

        const double before = residentMiB();
        net::io_context io;
        std::vector<std::shared_ptr<Signer>> signers;
        for (int i = 0; i < n; ++i) {
            signers.push_back(std::make_shared<Signer>(io, server.port(), i, scale));
            signers.back()->connect();
        }
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(seconds));
        for (auto& s : signers) {
            s->start(until);
        }
        double peak = before;
        std::thread sampler([&] {
            while (std::chrono::steady_clock::now() < until) {
                peak = std::max(peak, residentMiB());
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
        io.run();
        sampler.join();
        server.stop();
        serverThread.join();

        const ServerStats stats = server.takeStats();
        const double perSession = (peak - before) * 1024.0 / n;
        std::printf("| %d | %llu | %.1f µs | %.1f µs | %.0f B | %.0f KiB |\n", n,
                    static_cast<unsigned long long>(stats.samples),
                    percentile(stats.secondsPerSample, 0.5) * 1e6,
                    percentile(stats.secondsPerSample, 0.99) * 1e6,
                    stats.samples
                        ? static_cast<double>(stats.bytesSent) / static_cast<double>(stats.samples)
                        : 0.0,
                    perSession);
        std::fflush(stdout);
    }
    return 0;
}
