// The per-sample cost of the live ink: one touchesMoved with one coalesced touch, on pads of
// three sizes and after a long signature, beside a plain copy of a large bitmap (what the cost
// would be if the pad's image were copied per sample).

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/platform/Defaults.h"

namespace {

using namespace penwell;

struct LivePad {
    explicit LivePad(Size size) : services(headlessServices(host)) {
        pad = std::make_shared<ImageView>(Rect{{0, 0}, size});
        controller = std::make_unique<PenwellViewController>(services);
        controller->setSigImage(pad);
        controller->viewWillAppear(false);
        host.runLoop->runPending();
    }

    /// A point on a scribble that stays well inside the smallest pad.
    static Point scribble(long i) {
        return {40.0 + 120.0 * (0.5 + 0.5 * std::sin(i * 0.05)) + (i % 7),
                30.0 + 100.0 * (0.5 + 0.5 * std::sin(i * 0.031))};
    }

    void begin(long i) {
        controller->touchesBegan(TouchSet{Touch{scribble(i), time, 0.0, 0}}, Event{});
    }
    void moveTo(long i) {
        time += 1.0 / 120.0;
        const Touch t{scribble(i), time, 0.0, 0};
        controller->touchesMoved(TouchSet{t}, Event{{t}});
    }
    void end(long i) {
        controller->touchesEnded(TouchSet{Touch{scribble(i), time, 0.0, 0}}, Event{});
    }

    headless::HeadlessHost host;
    Services services;
    std::shared_ptr<ImageView> pad;
    std::unique_ptr<PenwellViewController> controller;
    double time = 0.0;
};

void BM_LiveInkSample(benchmark::State& state) {
    LivePad p({static_cast<double>(state.range(0)), static_cast<double>(state.range(1))});
    // Earlier strokes, already on the pad: the sample's cost must not depend on them.
    long i = 0;
    for (long drawn = 0; drawn < state.range(2);) {
        p.begin(i++);
        for (int k = 0; k < 200 && drawn < state.range(2); ++k, ++drawn) {
            p.moveTo(i++);
        }
        p.end(i);
    }
    p.begin(i++);
    long inStroke = 0;
    for (auto _ : state) {
        p.moveTo(i++);
        if (++inStroke == 2000) {  // keep strokes realistic in length
            state.PauseTiming();
            p.end(i);
            p.begin(i++);
            inStroke = 0;
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LiveInkSample)
    ->ArgNames({"w", "h", "drawn"})
    ->Args({320, 160, 0})
    ->Args({1024, 768, 0})
    ->Args({2048, 1536, 0})
    ->Args({2048, 1536, 10000});

void BM_CopyWholeBitmap(benchmark::State& state) {
    const std::vector<std::uint32_t> bitmap(2048 * 1536, 0x80402010u);
    for (auto _ : state) {
        std::vector<std::uint32_t> copy(bitmap);
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_CopyWholeBitmap);

}  // namespace
