// The widget as a pad: every injected sample reaches the controller with its event's time and
// pressure, the pixels shown are the export's at the screen's ratio, only what changed is
// repainted, and hostile streams end in one clear outcome.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QScreen>
#include <QWindow>
#include <cmath>
#include <limits>

#include "Inject.h"
#include "Scripts.h"
#include "penwell/host/common/PadPicture.h"

namespace penwell::qt::testing {
namespace {

/// A widget the size of its pad, shown on the screen with `ratio` device pixels per pixel.
struct ShownPad {
    explicit ShownPad(PadOptions options = plain(), double ratio = 1.0) : widget(options) {
        widget.resize(options.size);
        widget.show();
        moveTo(ratio);
        QCoreApplication::processEvents();  // the pad's posted clear
    }
    static PadOptions plain() {
        PadOptions options;
        options.smoothing = false;
        options.services.resources = PENWELL_SOURCE_DIR "/demo-certificate";
        return options;
    }
    void moveTo(double ratio) {
        for (QScreen* screen : QGuiApplication::screens()) {
            if (screen->devicePixelRatio() == ratio) {
                widget.windowHandle()->setScreen(screen);
                widget.move(screen->geometry().topLeft() + QPoint(50, 50));
            }
        }
        QCoreApplication::processEvents();
    }
    PenwellWidget widget;
};

/// What the pad shows at `scale`: the finished strokes' export at that scale over the pad's
/// white, as one image's ARGB32 words.
QImage expectedPicture(PenwellWidget& w, double scale) {
    ExportOptions options;
    options.scale = scale;
    const std::optional<ExportResult> exported = w.controller().exportSignature(options);
    const Image& ink = exported->image;
    QImage picture(ink.width(), ink.height(), QImage::Format_RGB32);
    const std::uint32_t white = host::opaqueBackground(std::nullopt);
    for (int y = 0; y < ink.height(); ++y) {
        for (int x = 0; x < ink.width(); ++x) {
            picture.setPixel(x, y, host::over(ink.premultipliedPixel(x, y), white));
        }
    }
    return picture;
}

/// Pixels where the widget's picture and `expected` differ.
int differing(PenwellWidget& w, const QImage& expected) {
    const QImage shown = w.grab().toImage().convertToFormat(QImage::Format_RGB32);
    if (shown.size() != expected.size()) {
        ADD_FAILURE() << "shown " << shown.width() << "x" << shown.height() << ", expected "
                      << expected.width() << "x" << expected.height();
        return -1;
    }
    int n = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            n += shown.pixel(x, y) != expected.pixel(x, y);
        }
    }
    return n;
}

void penStroke(Injector& inject, unsigned long startMs, QPointF from, int samples) {
    inject.pen(true, startMs, from, 0.4);
    for (int i = 1; i < samples; ++i) {
        inject.pen(true, startMs + 4 * i, from + QPointF(i * 3.5, 25 * std::sin(i / 5.0)),
                   0.2 + 0.6 * std::abs(std::sin(i / 7.0)));
    }
    inject.pen(false, startMs + 4 * samples, from + QPointF(samples * 3.5, 0), 0.0);
}

std::vector<_point> allSamples(PenwellWidget& w) {
    std::vector<_point> all;
    for (const Stroke& s : w.controller().lines()) {
        all.insert(all.end(), s.begin(), s.end());
    }
    return all;
}

/// Runs Qt's loop until the controller's smoothing redraw has run (bounded).
void settle(PenwellWidget& w) {
    const QDeadlineTimer deadline(10000);
    while (w.controller().smoothingPending() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    ASSERT_FALSE(w.controller().smoothingPending());
    QCoreApplication::processEvents();
}

// A pen stroke, and a mouse stroke that the pad smooths after a pause (its live ink is drawn
// segment by segment; the pad's redraw then paints it as the export does).
void drawPenAndMouse(PenwellWidget& w) {
    w.controller().setSmoothingDelay(0.01f);
    Injector inject(w);
    penStroke(inject, 1000, {30.5, 120.25}, 60);
    inject.mouse(QEvent::MouseButtonPress, 2000, {350, 60});
    for (int i = 1; i <= 40; ++i) {
        inject.mouse(QEvent::MouseMove, 2000 + 4 * i, {350.0 + i * 4, 60.0 + i * 3});
    }
    inject.mouse(QEvent::MouseButtonRelease, 2200, {510, 180});
    settle(w);
}

TEST(PenwellWidget, ShowsTheExportsPixelsAtEveryRatioAndFollowsARatioChange) {
    PadOptions options = ShownPad::plain();
    options.smoothing = true;
    for (const double ratio : {1.0, 2.0, 3.0}) {
        SCOPED_TRACE(ratio);
        ShownPad pad(options, ratio);
        ASSERT_EQ(pad.widget.devicePixelRatioF(), ratio);
        drawPenAndMouse(pad.widget);
        EXPECT_EQ(differing(pad.widget, expectedPicture(pad.widget, ratio)), 0);
    }
    // Moved to denser screens while open: painted again at each screen's ratio, not stretched.
    ShownPad pad(options);
    drawPenAndMouse(pad.widget);
    EXPECT_EQ(differing(pad.widget, expectedPicture(pad.widget, 1.0)), 0);
    pad.moveTo(3.0);
    ASSERT_EQ(pad.widget.devicePixelRatioF(), 3.0);
    EXPECT_EQ(differing(pad.widget, expectedPicture(pad.widget, 3.0)), 0);
    pad.moveTo(2.0);
    EXPECT_EQ(differing(pad.widget, expectedPicture(pad.widget, 2.0)), 0);
}

/// Collects the rectangles the widget repaints.
class PaintLog : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            painted |= static_cast<QPaintEvent*>(event)->region();
        }
        return false;
    }
    QRegion painted;
};

TEST(PenwellWidget, RepaintsOnlyWhatChanged) {
    PadOptions options = ShownPad::plain();
    options.size = {640, 320};
    ShownPad pad(options);
    PaintLog log;
    pad.widget.installEventFilter(&log);
    Injector inject(pad.widget);
    inject.pen(true, 1000, {140, 140}, 0.5);
    for (int i = 1; i <= 10; ++i) {
        inject.pen(true, 1000 + 4 * i, {140.0 + i * 3, 150}, 0.5);
    }
    inject.pen(false, 1050, {170, 150}, 0.0);
    QCoreApplication::processEvents();
    // The pad was blank: what was repainted is exactly the ink's pixels, not their tiles.
    const Image& image = *pad.widget.pad().image();
    QRect ink;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            ink |= image.premultipliedPixel(x, y) != 0 ? QRect(x, y, 1, 1) : QRect();
        }
    }
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_EQ(log.painted.boundingRect(), ink.translated(pad.widget.padRect().topLeft()));
}

TEST(PenwellWidget, HostileStreamsEndInOneClearOutcome) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Pressure no pen can press is held to the range; NaN counts as none.
    {
        ShownPad pad;
        Injector inject(pad.widget);
        inject.pen(true, 1000, {10, 10}, nan);
        inject.pen(true, 1004, {20, 10}, -1.0);
        inject.pen(true, 1008, {30, 10}, 7.5);
        inject.pen(true, 1012, {40, 10}, 0.5);
        inject.pen(false, 1016, {40, 10}, 0.0);
        std::vector<double> forces;
        for (const _point& p : allSamples(pad.widget)) {
            forces.push_back(p.Pressure());
        }
        // Qt itself holds a tablet's pressure to [0, 1] on its way; NaN passes through.
        EXPECT_EQ(forces, (std::vector<double>{0.0, 0.0, 4.0, 2.0}));
    }
    // The pen leaves the tablet's range mid-stroke: the stroke ends there, kept.
    {
        ShownPad pad;
        Injector inject(pad.widget);
        inject.pen(true, 1000, {10, 10}, 0.5);
        inject.pen(true, 1004, {20, 10}, 0.5);
        inject.penLeaves(1008);
        QCoreApplication::processEvents();
        EXPECT_FALSE(pad.widget.controller().isCollectingPoints());
        ASSERT_EQ(pad.widget.controller().lines().size(), 1u);
        EXPECT_EQ(pad.widget.controller().lines()[0].size(), 2u);
        inject.pen(false, 1010, {20, 10}, 0.0);  // its release comes late: nothing more
        EXPECT_EQ(pad.widget.controller().lines()[0].size(), 2u);
        inject.pen(true, 1100, {10, 60}, 0.5);  // and the next touch starts a stroke
        inject.pen(false, 1104, {10, 60}, 0.0);
        EXPECT_EQ(pad.widget.controller().lines().size(), 2u);
    }
    // A finger during a pen stroke writes nothing; the pen's stroke goes on.
    {
        ShownPad pad;
        Injector inject(pad.widget);
        inject.pen(true, 1000, {10, 10}, 0.5);
        inject.touch(QEventPoint::State::Pressed, 1002, {100, 100}, 0.5);
        inject.touch(QEventPoint::State::Updated, 1003, {110, 100}, 0.5);
        inject.touch(QEventPoint::State::Released, 1004, {110, 100}, 0.5);
        inject.pen(true, 1008, {20, 10}, 0.5);
        inject.pen(false, 1012, {20, 10}, 0.0);
        ASSERT_EQ(pad.widget.controller().lines().size(), 1u);
        EXPECT_EQ(pad.widget.controller().lines()[0].size(), 2u);
    }
    // A full pad ends the stroke with what it holds, and takes nothing more.
    {
        PadOptions options = ShownPad::plain();
        options.samplesLimit = 5;
        ShownPad pad(options);
        Injector inject(pad.widget);
        for (int i = 0; i < 10; ++i) {
            inject.pen(true, 1000 + 4 * i, {10.0 + i, 10}, 0.5);
        }
        inject.pen(false, 1040, {20, 10}, 0.0);
        inject.pen(true, 1100, {10, 60}, 0.5);
        ASSERT_EQ(pad.widget.controller().lines().size(), 1u);
        EXPECT_EQ(pad.widget.controller().lines()[0].size(), 5u);
        EXPECT_FALSE(pad.widget.controller().isCollectingPoints());
    }
    // The widget destroyed mid-stroke, with its smoothing timer and a posted task pending.
    {
        PadOptions options = ShownPad::plain();
        options.smoothing = true;
        auto pad = std::make_unique<ShownPad>(options);
        Injector inject(pad->widget);
        inject.touch(QEventPoint::State::Pressed, 1000, {10, 10}, 0.5);
        inject.touch(QEventPoint::State::Updated, 1004, {20, 10}, 0.5);
        inject.touch(QEventPoint::State::Released, 1008, {20, 10}, 0.5);
        inject.pen(true, 1010, {10, 40}, 0.5);
        inject.pen(true, 1014, {20, 40}, 0.5);
        pad->widget.controller().viewWillAppear(false);  // posts a clear
        pad.reset();
        QCoreApplication::processEvents();
        SUCCEED();
    }
}

TEST(PenwellWidget, RunsTheControllersTimersOnQtsLoopAndTellsTheHost) {
    PadOptions options = ShownPad::plain();
    options.smoothing = true;
    ShownPad pad(options);
    pad.widget.controller().setSmoothingDelay(0.02f);
    int changes = 0;
    QObject::connect(&pad.widget, &PenwellWidget::signatureChanged, [&] { ++changes; });
    Injector inject(pad.widget);
    inject.touch(QEventPoint::State::Pressed, 1000, {10, 10}, 0.5);
    for (int i = 1; i <= 30; ++i) {
        inject.touch(QEventPoint::State::Updated, 1000 + 4 * i, {10.0 + 5 * i, 10.0 + 2 * i}, 0.5);
    }
    inject.touch(QEventPoint::State::Released, 1124, {160, 70}, 0.5);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(pad.widget.controller().smoothingPending());
    settle(pad.widget);
    // The smoothing redraw is shown: the pad's pixels are the smoothed export's.
    EXPECT_EQ(differing(pad.widget, expectedPicture(pad.widget, 1.0)), 0);

    std::optional<host::SignatureBundle> got;
    QObject::connect(&pad.widget, &PenwellWidget::done,
                     [&](const host::SignatureBundle& bundle) { got = bundle; });
    const Result<host::SignatureBundle> made = pad.widget.finish();
    ASSERT_TRUE(made) << made.error().message;
    ASSERT_TRUE(got);
    EXPECT_EQ(got->samples, 31u);
    EXPECT_EQ(got->png, made->png);
    pad.widget.undo();
    EXPECT_EQ(changes, 2);
    const Result<host::SignatureBundle> none = pad.widget.finish();
    ASSERT_FALSE(none);
    EXPECT_THAT(none.error().message, ::testing::HasSubstr("not a signature yet"));
}

}  // namespace
}  // namespace penwell::qt::testing
