// Full redraw and image export at 1024 x 768, beside Cairo stroking the same points bare, and
// the peak heap of a smoothing redraw.
//
// Figures and goals: docs/performance.md. The redraw of n samples should stay within 1.2x of
// the bare polyline stroke of the same points (the smoothed points while smoothing) and grow
// linearly in n; the export within 1.3x of the redraw.

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "penwell/bench/HeapCounter.h"
#include "penwell/capture/Penwell.h"
#include "penwell/platform/Defaults.h"
#include "penwell/platform/cairo/CairoGraphics.h"
#include "penwell/render/Smoothing.h"
#include "penwell/render/StrokePainter.h"

namespace penwell {
namespace {

constexpr Size kPad{1024, 768};
constexpr int kSamplesPerStroke = 200;
constexpr double kLineWidth = 3.0;  // the controller's default

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
        controller->restoreSignature(signature(samples));
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

/// Cairo through the Graphics interface with nothing around it: a fresh context, each stroke
/// one polyline subpath with round joins and caps, one stroke operation. With `smoothed` the
/// polylines are the 4-step splines, worked out beforehand.
void BM_BarePolyline(benchmark::State& state) {
    std::vector<std::vector<Point>> polylines;
    for (const Stroke& s : signature(static_cast<int>(state.range(0)))) {
        const SmoothedStroke line =
            PenwellViewController::catmullRomSpline(s, state.range(1) != 0 ? 4 : 1);
        polylines.emplace_back(line.positions().begin(), line.positions().end());
    }
    const std::shared_ptr<Graphics> graphics = cairo::makeGraphics();
    for (auto _ : state) {
        auto context = graphics->beginImageContext(kPad);
        context->setLineCap(LineCap::Round);
        context->setLineJoin(LineJoin::Round);
        context->setLineWidth(kLineWidth);
        context->setRGBStrokeColor(0, 0, 1, 1);
        context->beginPath();
        for (const std::vector<Point>& line : polylines) {
            context->moveToPoint(line.front());
            for (std::size_t i = 1; i < line.size(); ++i) {
                context->addLineToPoint(line[i]);
            }
        }
        context->strokePath();
        benchmark::DoNotOptimize(context.get());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BarePolyline)
    ->ArgNames({"samples", "smoothed"})
    ->ArgsProduct({{1000, 5000, 20000}, {0, 1}})
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

/// The export of one signature in every format, each a whole file's bytes: PNG at 1 and 2
/// pixels per point, SVG and PDF. The PNG at 1x is the reference the others are held to.
void BM_ExportFormat(benchmark::State& state) {
    Pad pad(static_cast<int>(state.range(0)), false);
    const ExportOptions formats[] = {{ExportFormat::PNG, 1.0, true, false},
                                     {ExportFormat::PNG, 2.0, true, false},
                                     {ExportFormat::SVG, 1.0, true, false},
                                     {ExportFormat::PDF, 1.0, true, false}};
    const ExportOptions& options = formats[state.range(1)];
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::optional<ExportResult> result = pad.controller->exportSignature(options);
        bytes = result ? result->bytes.size() : 0;
        benchmark::DoNotOptimize(result);
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_ExportFormat)
    ->ArgNames({"samples", "format"})  // format: 0 PNG 1x, 1 PNG 2x, 2 SVG, 3 PDF
    ->ArgsProduct({{5000}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond);

/// Peak heap of a smoothing redraw, in bytes:
/// - redraw: the whole renderSignture, which holds the new context's bitmap and the image
///   made from it (each up to `bitmap` bytes) besides what painting needs;
/// - painting: the strokes alone into a context whose bitmap already exists, which is the
///   memory the redraw needs beyond the pad's bitmaps.
void BM_RedrawPeakMemory(benchmark::State& state) {
    Pad pad(static_cast<int>(state.range(0)), true);
    const std::vector<Stroke>& lines = pad.controller->lines();
    pad.controller->renderSignture();  // anything made once per pad already exists
    std::int64_t redraw = 0, painting = 0;
    for (auto _ : state) {
        {
            const bench::HeapPeak peak;
            pad.controller->renderSignture();
            redraw = std::max(redraw, peak.bytes());
        }
        auto context = pad.services.graphics->beginImageContext(kPad);
        const bench::HeapPeak peak;
        render::paintStrokes(*context, lines, {0, 0, 1, 1, kLineWidth}, true);
        painting = std::max(painting, peak.bytes());
    }
    state.counters["redraw"] = static_cast<double>(redraw);
    state.counters["painting"] = static_cast<double>(painting);
    state.counters["bitmap"] = kPad.width * kPad.height * 4;
}
BENCHMARK(BM_RedrawPeakMemory)->ArgName("samples")->Arg(7000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace penwell
