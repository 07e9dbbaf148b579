#pragma once
// Input as a window system delivers it: tablet, touch and mouse events injected through Qt's
// window-system interface at a point of a widget's pad, with the event's own timestamp. They
// take Qt's whole path (the application, the window, the widget under the point), as a real
// device's events do.

#include <QEvent>
#include <QEventPoint>
#include <QPointF>
#include <QPointingDevice>

#include "Scripts.h"
#include "penwell/host/qt/PenwellWidget.h"

namespace penwell::qt::testing {

/// Devices registered once per test program.
const QPointingDevice* testPen();
const QPointingDevice* testTouchScreen();

class Injector {
public:
    /// `widget` must be shown.
    explicit Injector(PenwellWidget& widget) : widget_(widget) {}

    /// A pen at `at` (pad points): `down` while its tip touches.
    void pen(bool down, unsigned long ms, QPointF at, double pressure, int xTilt = 0,
             int yTilt = 0);
    /// The pen leaves the tablet's range.
    void penLeaves(unsigned long ms);
    void touch(QEventPoint::State state, unsigned long ms, QPointF at, double pressure);
    /// A mouse event: press, move or release of the left button.
    void mouse(QEvent::Type type, unsigned long ms, QPointF at);

    /// The whole script with its own device, queued before Qt looks at any event (as a busy
    /// GUI thread meets a 240 Hz tablet), then delivered; a pen tilted by the tilts given.
    void play(const Script& script, int xTilt = 0, int yTilt = 0);

private:
    QPointF local(QPointF at) const;

    PenwellWidget& widget_;
};

}  // namespace penwell::qt::testing
