// Load generator for `penwell serve`: N simulated signers, each a WebSocket client over
// loopback (a page at --scale device pixels per point, LoadSigner.h) that writes at 240 samples
// per second, sent as a page sends them (one message of coalesced samples per 60 Hz frame), in
// strokes of one second with a short pause between. The server runs in this process so that it can report its own time
// per sample (messages in to patch out, without the wait for the next frame); the clients run on a
// thread of their own.
//
//   penwell_serve_load [--scale=S] [SECONDS] [N...]   default: 5 seconds, N = 1 10 50
//   penwell_serve_load --snapshots [SECONDS] [N] [ROUNDS]   default: 10 seconds, N = 20, 3
//   penwell_serve_load --durable [SECONDS] [N] [ROUNDS]     default: 5 seconds, N = 50, 3
//
// --snapshots: the round trip of N signers (a message sent to the state that acknowledges it),
// alone and then with 4 more clients at 4 pixels per point that write a signature of three
// one-second strokes and then ask for whole-pad snapshots, each as soon as the last has come;
// ROUNDS such pairs in one run, each pair's p95 ratio and their median last, so that a shared
// machine's changing load shows as spread rather than as one pair's ratio.
//
// --durable: the same N signers, alternately on the in-memory pad and on signing links of a
// signing service whose store is in a scratch folder (serve --data), where each message is
// committed to the database before the page is told it was taken; ROUNDS such pairs, each
// pair's ratio of the server's time per sample, and their median last.

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "penwell/host/web/Server.h"
#include "penwell/host/web/bench/LinkRequests.h"
#include "penwell/host/web/bench/LoadSigner.h"

using namespace penwell::web;
using namespace penwell::web::bench;

namespace {

double residentMiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

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

/// One load run's figures.
struct LoadRow {
    std::uint64_t samples = 0;
    double p50 = 0, p99 = 0, mean = 0;  ///< server seconds per sample
    double bytesPerSample = 0;
    double kibPerSession = 0;
    /// From the first message to the last client's close: longer than the run when the server
    /// fell behind the signers and worked off what they had sent.
    double seconds = 0;
};

/// `n` signers for `seconds` on a server of its own; with `links`, each on a signing link of
/// its service, opened for this run.
LoadRow runLoad(int n, int scale, double seconds, bench::LinkRequests* links) {
    ServerOptions options;
    options.port = 0;
    options.maxSessions = static_cast<std::size_t>(n);
    options.handleSignals = false;
    options.pad.smoothing = false;
    std::vector<std::string> paths(static_cast<std::size_t>(n), "/ws");
    if (links != nullptr) {
        options.service = links->service();
        options.pad.signer = links->operatorIdentity();
        const std::vector<std::string> tokens = links->openLinks(n).value();
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            paths[i] = "/s/" + tokens[i] + "/ws";
        }
    }
    const std::unique_ptr<Server> started = Server::listen(options).value();
    Server& server = *started;
    server.collectStats();
    std::thread serverThread([&] { server.run(); });

    const double before = residentMiB();
    net::io_context io;
    std::vector<std::shared_ptr<Signer>> signers;
    for (int i = 0; i < n; ++i) {
        signers.push_back(std::make_shared<Signer>(io, server.port(), i, scale, false,
                                                   paths[static_cast<std::size_t>(i)]));
        signers.back()->connect();
    }
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
    const auto began = Clock::now();
    for (auto& s : signers) {
        s->start(until);
    }
    double peak = before;
    std::thread sampler([&] {
        while (Clock::now() < until) {
            peak = std::max(peak, residentMiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    io.run();
    const double took = std::chrono::duration<double>(Clock::now() - began).count();
    sampler.join();
    server.stop();
    serverThread.join();

    const ServerStats stats = server.takeStats();
    LoadRow row;
    row.seconds = took;
    row.samples = stats.samples;
    row.p50 = percentile(stats.secondsPerSample, 0.5);
    row.p99 = percentile(stats.secondsPerSample, 0.99);
    double total = 0;
    for (const auto& [perSample, weight] : stats.secondsPerSample) {
        total += perSample * static_cast<double>(weight);
    }
    const double samples = static_cast<double>(std::max<std::uint64_t>(stats.samples, 1));
    row.mean = total / samples;
    row.bytesPerSample = static_cast<double>(stats.bytesSent) / samples;
    row.kibPerSession = (peak - before) * 1024.0 / n;
    return row;
}

/// `n` signers without and with durable acknowledgement, `rounds` pairs: a row each, then the
/// pairs' ratios of the mean and the p50 time per sample.
int durableRun(double seconds, int n, int rounds) {
    auto links = bench::LinkRequests::make();
    if (!links) {
        std::fprintf(stderr, "penwell_serve_load: %s\n", links.error().message.c_str());
        return 1;
    }
    std::printf(
        "| Signers | Acknowledged | Samples | Server time per sample mean | p50 | p99 | Bytes "
        "sent per sample | Taken in |\n|---:|---|---:|---:|---:|---:|---:|---:|\n");
    std::vector<double> means, medians;
    for (int round = 0; round < rounds; ++round) {
        LoadRow rows[2];
        // Each round begins with the other mode, so that neither always runs first.
        for (int k = 0; k < 2; ++k) {
            const bool durable = (k + round) % 2 == 1;
            const LoadRow row = runLoad(n, 1, seconds, durable ? links->get() : nullptr);
            rows[durable] = row;
            std::printf("| %d | %s | %llu | %.1f µs | %.1f µs | %.1f µs | %.0f B | %.1f s |\n", n,
                        durable ? "in the database" : "in memory",
                        static_cast<unsigned long long>(row.samples), row.mean * 1e6,
                        row.p50 * 1e6, row.p99 * 1e6, row.bytesPerSample, row.seconds);
            std::fflush(stdout);
        }
        means.push_back(rows[1].mean / rows[0].mean);
        medians.push_back(rows[1].p50 / rows[0].p50);
    }
    std::printf("\nDurable over in-memory, mean per sample:");
    for (const double r : means) {
        std::printf(" %.2f", r);
    }
    std::printf("; median %.2f\np50 per sample:", quantile(means, 0.5));
    for (const double r : medians) {
        std::printf(" %.2f", r);
    }
    std::printf("; median %.2f\n", quantile(medians, 0.5));
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
    if (!args.empty() && args.front() == "--durable") {
        return durableRun(args.size() > 1 ? std::stod(args[1]) : 5.0,
                          args.size() > 2 ? std::max(1, std::stoi(args[2])) : 50,
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
        const LoadRow row = runLoad(n, scale, seconds, nullptr);
        std::printf("| %d | %llu | %.1f µs | %.1f µs | %.0f B | %.0f KiB |\n", n,
                    static_cast<unsigned long long>(row.samples), row.p50 * 1e6, row.p99 * 1e6,
                    row.bytesPerSample, row.kibPerSession);
        std::fflush(stdout);
    }
    return 0;
}
