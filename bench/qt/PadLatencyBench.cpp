// The desktop pad's cost per pen sample, beside a bare QWidget that draws the same line itself:
// - from a tablet event injected as a window system delivers it to the repaint of what it
//   changed (the event handled, the paint done, the window's backing store flushed);
// - the CPU the whole process spends per sample while a pen writes at 240 Hz in real time.
// Both run on Qt's offscreen platform at device pixel ratio 1, one stroke of 240 samples after
// another on a 600 x 250 pad, cleared every 20 strokes.

#include <benchmark/benchmark.h>

#include <qpa/qwindowsysteminterface.h>
#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPointingDevice>
#include <QTabletEvent>
#include <QWindow>
#include <chrono>
#include <cmath>
#include <ctime>
#include <thread>

#include "penwell/host/qt/PenwellWidget.h"

namespace {

constexpr int kStrokeSamples = 240;
constexpr int kStrokesPerPage = 20;

const QPointingDevice* benchPen() {
    static QPointingDevice* pen = [] {
        auto* device = new QPointingDevice(
            "bench pen", 1, QInputDevice::DeviceType::Stylus, QPointingDevice::PointerType::Pen,
            QInputDevice::Capability::Position | QInputDevice::Capability::Pressure, 1, 3,
            QString(), QPointingDeviceUniqueId::fromNumericId(1));
        QWindowSystemInterface::registerInputDevice(device);
        return device;
    }();
    return pen;
}

/// The least a widget must do to show a pen's line: each segment drawn into a bitmap of its own
/// as it arrives (antialiased, round caps, its width following the pressure),
/// and the segment's rectangle repainted from that bitmap.
class BareInkWidget : public QWidget {
public:
    BareInkWidget() {
        setAttribute(Qt::WA_OpaquePaintEvent);
        resize(600, 250);
        clearInk();
    }
    void clearInk() {
        ink_ = QImage(size(), QImage::Format_ARGB32_Premultiplied);
        ink_.fill(Qt::white);
        update();
    }

protected:
    void tabletEvent(QTabletEvent* event) override {
        event->accept();
        const QPointF at = event->position();
        if (event->type() == QEvent::TabletMove && down_) {
            const double width = std::max(0.5, 4.0 * event->pressure()) * 3.0 / 2.0;
            QPainter painter(&ink_);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(QPen(Qt::black, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.drawLine(last_, at);
            update(QRectF(last_, at)
                       .normalized()
                       .adjusted(-width, -width, width, width)
                       .toAlignedRect());
        }
        down_ = event->type() != QEvent::TabletRelease;
        last_ = at;
    }
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        painter.drawImage(event->rect(), ink_, event->rect());
    }

private:
    QImage ink_;
    QPointF last_;
    bool down_ = false;
};

/// A shown widget and a pen writing a wave on it.
struct Writer {
    explicit Writer(QWidget& widget, QPointF origin) : widget(widget), origin(origin) {
        widget.show();
        window = widget.windowHandle();
        QCoreApplication::processEvents();
    }
    /// One sample: a down at a stroke's start, an up at its end, moves between. Answers
    /// whether the pad should be cleared now.
    bool sample(long i) {
        const int k = static_cast<int>(i % kStrokeSamples);
        const double x = 20.0 + k * 2.3;
        const double y = 125.0 + 80.0 * std::sin(k / 12.0) * std::cos(i / 2000.0);
        const QPointF p = origin + QPointF(x, y);
        const bool up = k == kStrokeSamples - 1;
        ms += k % 5 == 4 ? 5 : 4;  // whole milliseconds, 240 a second
        QWindowSystemInterface::handleTabletEvent(
            window, ms, benchPen(), p, window->mapToGlobal(p), up ? Qt::NoButton : Qt::LeftButton,
            0.3 + 0.4 * std::abs(std::sin(k / 9.0)), 0, 0, 0.0, 0.0, 0);
        // The repaint the event asked for: paint, and the backing store flushed.
        QCoreApplication::processEvents();
        return up && (i / kStrokeSamples) % kStrokesPerPage == kStrokesPerPage - 1;
    }

    QWidget& widget;
    QPointF origin;
    QWindow* window = nullptr;
    unsigned long ms = 1000;
};

template <typename Widget>
void clearOf(Widget& widget);
template <>
void clearOf(penwell::qt::PenwellWidget& widget) {
    widget.clear();
}
template <>
void clearOf(BareInkWidget& widget) {
    widget.clearInk();
}

template <typename Widget>
std::unique_ptr<Widget> make() {
    if constexpr (std::is_same_v<Widget, penwell::qt::PenwellWidget>) {
        penwell::qt::PadOptions options;  // as shipped: smoothing on, 3 points of ink
        options.services.resources = PENWELL_DEMO_CERTIFICATE_DIR;
        options.services.memoryStore = true;
        return std::make_unique<Widget>(options);
    } else {
        return std::make_unique<Widget>();
    }
}

QPointF originOf(QWidget& widget) {
    if (auto* pad = dynamic_cast<penwell::qt::PenwellWidget*>(&widget)) {
        return pad->padRect().topLeft();
    }
    return {};
}

/// Event to repaint, as fast as the widget takes them.
template <typename Widget>
void BM_TabletEventToRepaint(benchmark::State& state) {
    const auto widget = make<Widget>();
    Writer writer(*widget, originOf(*widget));
    long i = 0;
    for (auto _ : state) {
        if (writer.sample(i++)) {
            clearOf(*widget);
        }
    }
    state.SetItemsProcessed(i);
}
BENCHMARK(BM_TabletEventToRepaint<penwell::qt::PenwellWidget>)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TabletEventToRepaint<BareInkWidget>)->Unit(benchmark::kMicrosecond);

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

/// A pen writing at 240 Hz in real time for a second per iteration: the process's CPU per
/// sample (every thread: Qt's, the pad's) and the share of one core.
template <typename Widget>
void BM_CpuPerSampleAt240Hz(benchmark::State& state) {
    const auto widget = make<Widget>();
    Writer writer(*widget, originOf(*widget));
    long i = 0;
    double cpu = 0.0;
    double wall = 0.0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const double cpuStart = processSeconds();
        for (int k = 0; k < 240; ++k) {
            if (writer.sample(i++)) {
                clearOf(*widget);
            }
            std::this_thread::sleep_until(start +
                                          std::chrono::microseconds((k + 1) * 1000000 / 240));
            QCoreApplication::processEvents();  // timers due meanwhile, as an idle loop runs them
        }
        cpu += processSeconds() - cpuStart;
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.counters["cpu_us_per_sample"] = cpu * 1e6 / static_cast<double>(i);
    state.counters["core_percent"] = 100.0 * cpu / wall;
}
BENCHMARK(BM_CpuPerSampleAt240Hz<penwell::qt::PenwellWidget>)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CpuPerSampleAt240Hz<BareInkWidget>)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QCoreApplication::setAttribute(Qt::AA_CompressTabletEvents, false);
    QCoreApplication::setAttribute(Qt::AA_CompressHighFrequencyEvents, false);
    QApplication app(argc, argv);
    // Events are handled as they are injected, as a window system's reach a waiting loop.
    QWindowSystemInterface::setSynchronousWindowSystemEvents(true);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
