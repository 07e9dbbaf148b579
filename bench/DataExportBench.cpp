// The data export of a 1,000-sample signature beside the key derivation it is built on: bare
// PBKDF2-HMAC-SHA1, 10,000 rounds, straight through OpenSSL. The derivation is meant to cost;
// everything around it (point stream, AES, the store lookup, the certificate, the RSA wrap)
// should add little. The evidence record beside it needs no derivation. Figures and goals:
// docs/performance.md.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "penwell/bench/ScratchFolder.h"
#include "penwell/capture/Penwell.h"
#include "penwell/platform/Defaults.h"
#include "penwell/secure/AES.h"
#include "penwell/secure/Evidence.h"

namespace penwell {
namespace {

/// A pad with 1,000 samples in 5 strokes, its store and its resource folder in a scratch
/// folder. One export runs first, so the store exists and holds the certificate, as it does
/// for every export after a device's first.
struct SignedPad {
    SignedPad() {
        std::filesystem::create_directories(folder.path() / "resources");
        std::filesystem::copy_file(
            std::filesystem::path(PENWELL_DEMO_CERTIFICATE_DIR) / "Penwell.dat",
            folder.path() / "resources" / "Penwell.dat");
        ServiceOptions options;
        options.certificateStore = folder.path() / "certificates.sqlite";
        options.resources = folder.path() / "resources";
        services = headlessServices(host, options);
        controller = std::make_unique<PenwellViewController>(services);
        controller->setSigImage(std::make_shared<ImageView>(Rect{{0, 0}, {1024, 768}}));
        std::vector<Stroke> lines;
        for (int k = 0; k < 5; ++k) {
            Stroke stroke;
            for (int i = 0; i < 200; ++i) {
                stroke.push_back(_point::initwith(
                    {40.0 + 3.0 * i, 100.0 + 120.0 * k + 30.0 * std::sin(i * 0.12)},
                    static_cast<std::uint64_t>(i) * 8, 0.0));
            }
            lines.push_back(std::move(stroke));
        }
        controller->restoreSignature(std::move(lines));
        std::optional<Bytes> key;
        if (!controller->getSignatureData(&key) || !key) {
            throw std::runtime_error("the data export failed");
        }
    }
    bench::ScratchFolder folder;
    headless::HeadlessHost host;
    Services services;
    std::unique_ptr<PenwellViewController> controller;
};

void BM_SignatureData(benchmark::State& state) {
    SignedPad pad;
    for (auto _ : state) {
        std::optional<Bytes> key;
        std::optional<Bytes> record = pad.controller->getSignatureData(&key);
        benchmark::DoNotOptimize(record);
        benchmark::DoNotOptimize(key);
    }
}
BENCHMARK(BM_SignatureData)->Unit(benchmark::kMillisecond);

/// The evidence record of the same signature: no PBKDF2, so it should cost far less than the
/// data export. Unsigned, bound to a document, with two text fields.
void BM_Evidence(benchmark::State& state) {
    SignedPad pad;
    EvidenceOptions options;
    options.documentSha256 = Sha256{};
    options.fields = {{"reason", "benchmark"}, {"signer", "nobody"}};
    for (auto _ : state) {
        Result<Bytes> evidence = pad.controller->exportEvidence(options);
        if (!evidence) {
            state.SkipWithError(evidence.error().message.c_str());
            break;
        }
        benchmark::DoNotOptimize(evidence);
    }
}
BENCHMARK(BM_Evidence)->Unit(benchmark::kMillisecond);

/// What the export derives: a key as long as the AES key, from a 36-character password and an
/// 8-byte salt, 10,000 rounds.
void BM_BarePbkdf2(benchmark::State& state) {
    const std::string password = "0F6A2B1C-3D4E-4F50-8A61-72B3C4D5E6F7";
    const std::array<unsigned char, kPBKDFSaltSize> salt{1, 2, 3, 4, 5, 6, 7, 8};
    std::array<unsigned char, kAlgorithmKeySize> key{};
    for (auto _ : state) {
        if (PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), salt.data(),
                                   static_cast<int>(salt.size()), static_cast<int>(kPBKDFRounds),
                                   static_cast<int>(key.size()), key.data()) != 1) {
            state.SkipWithError("PBKDF2 failed");
            break;
        }
        benchmark::DoNotOptimize(key);
    }
}
BENCHMARK(BM_BarePbkdf2)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace penwell
