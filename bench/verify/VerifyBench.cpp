// The cost of one verification: a 1,000-sample signature against a template of 5 references
// of about the same length, beside its unit, one banded warping pass of the query against one
// reference at full length over its two position features. docs/performance.md records the
// ratio.

#include <benchmark/benchmark.h>

#include "penwell/verify/Dtw.h"
#include "penwell/verify/Synthetic.h"
#include "penwell/verify/Template.h"

namespace {

using namespace penwell::verify;

struct Setup {
    Template enrolled;
    Signature query;
    FeatureSequence queryPositions;
    FeatureSequence referencePositions;
};

/// x, y of every sample, as the warping's position group holds them (without the averaging
/// of long signatures, so that this pass costs what a plain warping of 1,000 samples costs).
FeatureSequence positions(const Signature& s) {
    FeatureSequence out;
    out.dimension = 2;
    for (const Stroke& stroke : s.strokes) {
        for (const Sample& p : stroke.samples) {
            out.values.push_back(p.x / 100.0);
            out.values.push_back(p.y / 100.0);
        }
    }
    return out;
}

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
    FeatureSequence q = positions(query);
    FeatureSequence r = positions(t.references().front());
    return {std::move(t), std::move(query), std::move(q), std::move(r)};
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

void BM_OneBandedDtwPass(benchmark::State& state) {
    const Setup& s = setup();
    const std::size_t n = s.queryPositions.size();
    const std::size_t m = s.referencePositions.size();
    const std::size_t band = std::max(kMinBand, static_cast<std::size_t>(0.1 * std::max(n, m)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(dtwDistance(s.queryPositions, s.referencePositions, band));
    }
    state.counters["cells"] = static_cast<double>(n) * static_cast<double>(2 * band + 1);
}
BENCHMARK(BM_OneBandedDtwPass)->Unit(benchmark::kMillisecond);

}  // namespace
