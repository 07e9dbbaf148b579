// Full redraw and image export at 1024 x 768, beside Cairo stroking the same segments bare.
//
// Figures and goals: docs/performance.md. The redraw of n samples should stay within 1.5x of
// the bare stroke of the same segments and grow linearly in n; the export within 1.3x of the
// redraw.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "capture/Penwell.h"
#include "platform/Defaults.h"
#include "platform/cairo/CairoGraphics.h"
#include "support/ControllerTestAccess.h"

namespace penwell {
namespace {

constexpr Size kPad{1024, 768};
constexpr int kSamplesPerStroke = 200;

/// A signature-like set of plain strokes: wavy lines of samples about 3 points apart, spread
/// over the pad, `total` samples in all.
std::vector<Stroke> signature(int total) {
    std::vector<Stroke> strokes;
    for (int k = 0; total > 0; ++k) {
        const int n = total < kSamplesPerStroke ? total : kSamplesPerStroke;
        total -= n;
        const double x0 = 40.0 + (k * 53) % 300;
        const double y0 = 60.0 + (k * 97) % 640;
        Stroke stroke;
        for (int i = 0; i < n; ++i) {
            const double x = x0 + 3.0 * i;
            const double y = y0 + 30.0 * std::sin(i * 0.12) + 8.0 * std::sin(i * 0.5 + k);
            stroke.push_back(_point::initwith({x, y}, static_cast<std::uint64_t>(i) * 8, 0.0));
        }
        strokes.push_back(std::move(stroke));
    }
    return strokes;
}

struct Pad {
    explicit Pad(int samples, bool smoothing)
        : services(headlessServices(host)),
          view(std::make_shared<ImageView>(Rect{{0, 0}, kPad})),
          controller(std::make_unique<PenwellViewController>(services)) {
        controller->setSigImage(view);
        controller->viewWillAppear(false);
        host.runLoop->runPending();
        controller->setSmoothing(smoothing);
        ControllerTestAccess::lines(*controller) = signature(samples);
    }
    headless::HeadlessHost host;
    Services services;
    std::shared_ptr<ImageView> view;
    std::unique_ptr<PenwellViewController> controller;
};

void BM_Redraw(benchmark::State& state) {
    Pad pad(static_cast<int>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) {
        pad.controller->renderSignture();
        benchmark::DoNotOptimize(pad.view->image());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Redraw)
    ->ArgNames({"samples", "smoothing"})
    ->ArgsProduct({{1000, 5000, 20000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

/// Cairo through the Graphics interface with nothing around it: a fresh context, every
/// segment of the given polylines as a subpath of its own (as the redraw paints them), one
/// stroke. With `smoothed` the polylines are the 4-step splines, worked out beforehand.
void BM_BareStroke(benchmark::State& state) {
    const std::vector<Stroke> strokes = signature(static_cast<int>(state.range(0)));
    std::vector<std::vector<Point>> polylines;
    for (const Stroke& s : strokes) {
        std::vector<Point> line;
        if (state.range(1) != 0) {
            const SmoothedStroke smoothed = PenwellViewController::catmullRomSpline(s, 4);
            for (std::size_t i = 0; i < smoothed.size(); ++i) {
                line.push_back(smoothed[i].CGPointValue());
            }
        } else {
            for (const _point& p : s) {
                line.push_back(p.CGPointValue());
            }
        }
        polylines.push_back(std::move(line));
    }
    const std::shared_ptr<Graphics> graphics = cairo::makeGraphics();
    for (auto _ : state) {
        auto context = graphics->beginImageContext(kPad);
        context->setLineCap(LineCap::Round);
        context->setLineWidth(3.0);
        context->setRGBStrokeColor(0, 0, 1, 1);
        context->beginPath();
        for (const auto& line : polylines) {
            for (std::size_t i = 1; i < line.size(); ++i) {
                context->moveToPoint(line[i - 1]);
                context->addLineToPoint(line[i]);
            }
        }
        context->strokePath();
        benchmark::DoNotOptimize(context.get());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BareStroke)
    ->ArgNames({"samples", "smoothed"})
    ->ArgsProduct({{1000, 5000, 20000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

/// For comparison only: the same points as one polyline per stroke (joins instead of a
/// subpath per segment), to see what the per-segment subpaths cost Cairo.
void BM_BarePolyline(benchmark::State& state) {
    const std::vector<Stroke> strokes = signature(static_cast<int>(state.range(0)));
    const std::shared_ptr<Graphics> graphics = cairo::makeGraphics();
    for (auto _ : state) {
        auto context = graphics->beginImageContext(kPad);
        context->setLineCap(LineCap::Round);
        context->setLineWidth(3.0);
        context->setRGBStrokeColor(0, 0, 1, 1);
        context->beginPath();
        for (const Stroke& s : strokes) {
            context->moveToPoint(s.front().CGPointValue());
            for (std::size_t i = 1; i < s.size(); ++i) {
                context->addLineToPoint(s[i].CGPointValue());
            }
        }
        context->strokePath();
        benchmark::DoNotOptimize(context.get());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BarePolyline)
    ->ArgName("samples")
    ->Arg(1000)
    ->Arg(5000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond);

void BM_Export(benchmark::State& state) {
    Pad pad(static_cast<int>(state.range(0)), state.range(1) != 0);
    const bool crop = state.range(2) != 0;
    for (auto _ : state) {
        std::optional<Image> image = pad.controller->getSignatureImage(crop);
        benchmark::DoNotOptimize(image);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Export)
    ->ArgNames({"samples", "smoothing", "crop"})
    ->ArgsProduct({{5000}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace penwell
