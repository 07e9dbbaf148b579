#include "Inject.h"

#include <qpa/qwindowsysteminterface.h>
#include <QWindow>

namespace penwell::qt::testing {

namespace {

QPointingDevice* registered(QPointingDevice* device) {
    QWindowSystemInterface::registerInputDevice(device);
    return device;
}

}  // namespace

const QPointingDevice* testPen() {
    static QPointingDevice* pen = registered(new QPointingDevice(
        "test pen", 1, QInputDevice::DeviceType::Stylus, QPointingDevice::PointerType::Pen,
        QInputDevice::Capability::Position | QInputDevice::Capability::Pressure |
            QInputDevice::Capability::XTilt | QInputDevice::Capability::YTilt,
        1, 3, QString(), QPointingDeviceUniqueId::fromNumericId(1)));
    return pen;
}

const QPointingDevice* testTouchScreen() {
    static QPointingDevice* screen = registered(
        new QPointingDevice("test touch screen", 2, QInputDevice::DeviceType::TouchScreen,
                            QPointingDevice::PointerType::Finger,
                            QInputDevice::Capability::Position | QInputDevice::Capability::Area |
                                QInputDevice::Capability::Pressure,
                            10, 0));
    return screen;
}

QPointF Injector::local(QPointF at) const {
    return widget_.mapTo(widget_.window(), QPointF(widget_.padRect().topLeft()) + at);
}

void Injector::pen(bool down, unsigned long ms, QPointF at, double pressure, int xTilt, int yTilt) {
    QWindow* window = widget_.window()->windowHandle();
    const QPointF p = local(at);
    QWindowSystemInterface::handleTabletEvent(window, ms, testPen(), p, window->mapToGlobal(p),
                                              down ? Qt::LeftButton : Qt::NoButton, pressure, xTilt,
                                              yTilt, 0.0, 0.0, 0);
}

void Injector::penLeaves(unsigned long ms) {
    QWindowSystemInterface::handleTabletEnterLeaveProximityEvent(widget_.window()->windowHandle(),
                                                                 ms, testPen(), false);
}

void Injector::touch(QEventPoint::State state, unsigned long ms, QPointF at, double pressure) {
    QWindow* window = widget_.window()->windowHandle();
    QWindowSystemInterface::TouchPoint point;
    point.id = 1;
    point.state = state;
    point.pressure = pressure;
    const QPointF global = window->mapToGlobal(local(at));
    point.area = QRectF(global - QPointF(2, 2), QSizeF(4, 4));
    QWindowSystemInterface::handleTouchEvent(window, ms, testTouchScreen(), {point});
}

void Injector::mouse(QEvent::Type type, unsigned long ms, QPointF at) {
    QWindow* window = widget_.window()->windowHandle();
    const QPointF p = local(at);
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QWindowSystemInterface::handleMouseEvent(window, ms, p, window->mapToGlobal(p), held, button,
                                             type);
}

void Injector::play(const Script& script, int xTilt, int yTilt) {
    QWindowSystemInterface::setSynchronousWindowSystemEvents(false);
    for (const ScriptEvent& e : script.events) {
        const QPointF at(e.x, e.y);
        const bool down = e.phase == host::StrokePhase::down, up = e.phase == host::StrokePhase::up;
        if (script.pointer == PointerKind::stylus) {
            pen(!up, e.ms, at, e.pressure, xTilt, yTilt);
        } else if (script.pointer == PointerKind::finger) {
            touch(down ? QEventPoint::State::Pressed
                  : up ? QEventPoint::State::Released
                       : QEventPoint::State::Updated,
                  e.ms, at, e.pressure);
        } else {
            mouse(down ? QEvent::MouseButtonPress
                  : up ? QEvent::MouseButtonRelease
                       : QEvent::MouseMove,
                  e.ms, at);
        }
    }
    QWindowSystemInterface::flushWindowSystemEvents();
    QWindowSystemInterface::setSynchronousWindowSystemEvents(true);
}

}  // namespace penwell::qt::testing
