// Load generator for `penwell serve`: N simulated signers, each a WebSocket client over
// loopback (a page at --scale device pixels per point) that writes at 240 samples per second, sent
// as a page sends them (one message of coalesced samples per 60 Hz frame), in strokes of one second
// with a short pause between. The server runs in this process so that it can report its own time
// per sample (messages in to patch out, without the wait for the next frame); the clients run on a
// thread of their own.
//
//   penwell_serve_load [SECONDS] [N...]      default: 5 seconds, N = 1 10 50

#include <unistd.h>
#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "host/web/Server.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using namespace penwell::web;

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kRate = 240.0;
constexpr auto kFrame = std::chrono::microseconds(16667);

double residentMiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

class Signer : public std::enable_shared_from_this<Signer> {
public:
    Signer(net::io_context& io, std::uint16_t port, int index, int scale)
        : ws_(io), timer_(io), port_(port), index_(index), scale_(scale) {}

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
    }

    void start(Clock::time_point until) {
        until_ = until;
        read();
        tick();
    }

    std::uint64_t received = 0;

private:
    void read() {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, std::size_t n) {
            if (ec) {
                return;
            }
            self->received += n;
            self->buffer_.consume(n);
            self->read();
        });
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
            outgoing_ = inStroke_ == 0 && strokes_++ % 8 == 7 ? R"({"type":"clear"})" : next();
            writing_ = true;
            ws_.async_write(net::buffer(outgoing_),
                            [self = shared_from_this()](beast::error_code, std::size_t) {
                                self->writing_ = false;
                            });
        }
        timer_.expires_after(kFrame);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->tick();
            }
        });
    }

    websocket::stream<beast::tcp_stream> ws_;
    net::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::uint16_t port_;
    int index_;
    int scale_;
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

}  // namespace

int main(int argc, char** argv) {
    // penwell_serve_load [--scale=S] [SECONDS] [N...]: S is the pages' pixels per point.
    int scale = 1;
    std::vector<std::string> args(argv + 1, argv + argc);
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
