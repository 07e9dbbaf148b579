// The cost of one verification: a 1,000-sample signature against a template of 5 references
// of about the same length, beside its floor, five banded warping passes over features already
// extracted. docs/performance.md records the ratio.

#include <benchmark/benchmark.h>

#include "verify/Synthetic.h"
#include "verify/Template.h"

namespace {

using namespace penwell::verify;

struct Setup {
    Template enrolled;
    Signature query;
    std::vector<FeatureSequence> references;
    FeatureSequence queryFeatures;
};

/// Signatures of one synthetic writer sampled fast enough that the query has 1,000 samples
/// (its tail trimmed to exactly that), so the figure does not depend on one writer's length.
Setup makeSetup() {
    SyntheticOptions options;
    options.signers = 1;
    options.genuine = 6;
    options.forgeries = 0;
    options.seed = 11;
    options.sampleRateHz = 100.0;
    std::vector<SignerSet> set = makeSyntheticSigners(options);
    while (sampleCount(set[0].genuine.back()) < 1000) {
        options.sampleRateHz *= 1000.0 / static_cast<double>(sampleCount(set[0].genuine.back()));
        options.sampleRateHz += 1.0;
        set = makeSyntheticSigners(options);
    }
    Signature query = set[0].genuine.back();
    set[0].genuine.pop_back();
    for (std::size_t extra = sampleCount(query) - 1000; extra > 0;) {
        auto& samples = query.strokes.back().samples;
        const std::size_t cut = std::min(extra, samples.size() - 1);
        samples.resize(samples.size() - cut);
        extra -= cut;
    }
    Template t = Template::enrol(set[0].genuine).value();
    const FeatureScales scales{true, 1.0};
    std::vector<FeatureSequence> references;
    for (const Signature& s : t.references()) {
        references.push_back(extractFeatures(s, scales));
    }
    FeatureSequence q = extractFeatures(query, scales);
    return {std::move(t), std::move(query), std::move(references), std::move(q)};
}

const Setup& setup() {
    static const Setup s = makeSetup();
    return s;
}

void BM_VerifyCheck1000Against5(benchmark::State& state) {
    const Setup& s = setup();
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.enrolled.check(s.query)->score);
    }
    state.counters["samples"] = static_cast<double>(sampleCount(s.query));
}
BENCHMARK(BM_VerifyCheck1000Against5)->Unit(benchmark::kMillisecond);

void BM_FiveBandedDtwFloor(benchmark::State& state) {
    const Setup& s = setup();
    for (auto _ : state) {
        double sum = 0.0;
        for (const FeatureSequence& r : s.references) {
            sum += signatureDistance(s.queryFeatures, r);
        }
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_FiveBandedDtwFloor)->Unit(benchmark::kMillisecond);

}  // namespace
