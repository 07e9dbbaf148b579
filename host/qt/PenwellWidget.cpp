#include "penwell/host/qt/PenwellWidget.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QPointingDevice>
#include <QTabletEvent>
#include <QTouchEvent>
#include <algorithm>
#include <cmath>

#include "penwell/host/common/HostServices.h"
#include "penwell/platform/qt/QtRunLoop.h"

namespace penwell::qt {

using host::StrokePhase;

namespace {

/// Whether a device reports pressure; one that does not is given the pressure browsers report
/// for it (host::kUnsensedPressure), so both hosts record the same force.
bool sensesPressure(const QPointingDevice* device) {
    return device != nullptr && device->capabilities().testFlag(QInputDevice::Capability::Pressure);
}

}  // namespace

PenwellWidget::PenwellWidget(const PadOptions& options, QWidget* parent)
    : QWidget(parent), options_(options) {
    QCoreApplication::setAttribute(Qt::AA_CompressTabletEvents, false);
    QCoreApplication::setAttribute(Qt::AA_CompressHighFrequencyEvents, false);
    setAttribute(Qt::WA_AcceptTouchEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);  // every pixel is painted
    setAttribute(Qt::WA_StaticContents);    // a larger widget repaints only what it gained

    services_ = host::hostServices(host_, options.services);
    services_.runLoop = std::make_shared<QtRunLoop>(this, [this] { refresh(); });
    const QSize size = options.size.expandedTo(QSize(1, 1));
    pad_ = std::make_shared<ImageView>(
        Rect{{0, 0}, {static_cast<double>(size.width()), static_cast<double>(size.height())}});
    controller_ = std::make_unique<PenwellViewController>(services_);
    controller_->setSigImage(pad_);
    controller_->setSmoothing(options.smoothing);
    controller_->setLineWidth(options.lineWidth);
    controller_->viewDidLoad();
    controller_->viewWillAppear(false);
    input_ = std::make_unique<host::StrokeInput>(
        *controller_, options.samplesLimit,
        [this](const std::string& line) { emit noted(QString::fromStdString(line)); });
    // A pen leaving the tablet's range is told to the application, not to a widget.
    QCoreApplication::instance()->installEventFilter(this);
}

PenwellWidget::~PenwellWidget() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->removeEventFilter(this);
    }
    input_.reset();
    controller_->viewWillDisappear(false);
}

QRect PenwellWidget::padRect() const {
    const QSize size(static_cast<int>(pad_->frame().size.width),
                     static_cast<int>(pad_->frame().size.height));
    return {QPoint(std::max(0, (width() - size.width()) / 2),
                   std::max(0, (height() - size.height()) / 2)),
            size};
}

double PenwellWidget::paintScale() const {
    // Whole pixels per tile: a tile of 64 points is then a whole number of device pixels, and
    // every ratio a screen uses (1, 1.25, 1.5, 2, 3...) is kept exactly.
    const double ratio = std::clamp(devicePixelRatioF(), 1.0, 8.0);
    return std::round(ratio * Image::kTileSize) / Image::kTileSize;
}

QSize PenwellWidget::sizeHint() const {
    return padRect().size();
}

QSize PenwellWidget::minimumSizeHint() const {
    return padRect().size();
}

Result<host::SignatureBundle> PenwellWidget::finish() {
    Result<host::SignatureBundle> made =
        host::exportBundle(*controller_, *services_.graphics, options_.bundle);
    refresh();  // an export refreshes the ink colour only; the pad is as it was
    if (made) {
        emit done(*made);
    }
    return made;
}

void PenwellWidget::undo() {
    controller_->undoSignature();
    refresh();
    emit signatureChanged();
}

void PenwellWidget::clear() {
    controller_->clearSignature();
    refresh();
    emit signatureChanged();
}

PointerSample PenwellWidget::sampleAt(QPointF position, quint64 timestamp, double pressure) const {
    const QPoint origin = padRect().topLeft();
    PointerSample s;
    s.t = static_cast<double>(timestamp) / 1000.0;  // Qt's event clock counts milliseconds
    s.x = position.x() - origin.x();
    s.y = position.y() - origin.y();
    s.pressure = pressure;
    return s;
}

void PenwellWidget::feed(StrokePhase phase, PointerKind pointer, const PointerSample& sample) {
    const bool wasOpen = input_->strokeOpen();
    const std::size_t strokes = controller_->lines().size();
    const MaybeFailure refused = input_->feed(phase, pointer, {&sample, 1});
    if (refused) {
        emit noted(QString::fromStdString(refused->message));
        if (refused->code == static_cast<std::int64_t>(host::StrokeInputError::tooManySamples)) {
            input_->finishStroke();  // the pad is full: the stroke keeps what it has
        }
    } else {
        lastSample_ = sample;
        if (phase == StrokePhase::down) {
            pointer_ = pointer;
        }
    }
    refresh();
    if (controller_->lines().size() != strokes || (wasOpen && !input_->strokeOpen())) {
        emit signatureChanged();
    }
}

void PenwellWidget::abandonStroke() {
    if (input_ && input_->strokeOpen()) {
        // What was written stays; the pointer is gone, so the stroke ends where it was last.
        feed(StrokePhase::cancel, pointer_, lastSample_);
    }
    touchId_.reset();
}

void PenwellWidget::tabletEvent(QTabletEvent* event) {
    // Taken, even when it writes nothing: an event left alone comes back as a mouse event.
    event->accept();
    if (event->pointerType() == QPointingDevice::PointerType::Eraser) {
        return;  // the eraser end of a pen writes nothing
    }
    PointerSample s = sampleAt(
        event->position(), event->timestamp(),
        sensesPressure(event->pointingDevice()) ? event->pressure() : host::kUnsensedPressure);
    s.tiltX = event->xTilt();
    s.tiltY = event->yTilt();
    const bool tip = event->button() == Qt::LeftButton;  // a barrel button writes nothing
    switch (event->type()) {
        case QEvent::TabletPress:
            if (tip) {
                feed(StrokePhase::down, PointerKind::stylus, s);
            }
            break;
        case QEvent::TabletMove:
            if (input_->strokeOpen() && pointer_ == PointerKind::stylus) {
                feed(StrokePhase::move, PointerKind::stylus, s);
            }
            break;
        case QEvent::TabletRelease:
            if (tip && input_->strokeOpen() && pointer_ == PointerKind::stylus) {
                feed(StrokePhase::up, PointerKind::stylus, s);
            }
            break;
        default:
            break;
    }
}

namespace {

/// Where a mouse event happened in the widget, to the fraction of a pixel: Qt's widgets are
/// handed a mouse position rounded to whole pixels, its global one is not.
QPointF exactPosition(const QWidget& widget, const QMouseEvent* event) {
    return widget.mapFromGlobal(event->globalPosition());
}

/// A mouse or a touchpad: not a touch screen's or a tablet's event that Qt turned into one.
bool isMouse(const QMouseEvent* event) {
    const QPointingDevice* device = event->pointingDevice();
    return device != nullptr && (device->type() == QInputDevice::DeviceType::Mouse ||
                                 device->type() == QInputDevice::DeviceType::TouchPad);
}

}  // namespace

void PenwellWidget::mousePressEvent(QMouseEvent* event) {
    if (isMouse(event) && event->button() == Qt::LeftButton) {
        feed(StrokePhase::down, PointerKind::mouse,
             sampleAt(exactPosition(*this, event), event->timestamp(), 0.0));
    }
    event->accept();
}

void PenwellWidget::mouseMoveEvent(QMouseEvent* event) {
    if (isMouse(event) && (event->buttons() & Qt::LeftButton) && input_->strokeOpen() &&
        pointer_ == PointerKind::mouse) {
        feed(StrokePhase::move, PointerKind::mouse,
             sampleAt(exactPosition(*this, event), event->timestamp(), 0.0));
    }
    event->accept();
}

void PenwellWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (isMouse(event) && event->button() == Qt::LeftButton && input_->strokeOpen() &&
        pointer_ == PointerKind::mouse) {
        feed(StrokePhase::up, PointerKind::mouse,
             sampleAt(exactPosition(*this, event), event->timestamp(), 0.0));
    }
    event->accept();
}

void PenwellWidget::touchEvent(QTouchEvent* event) {
    event->accept();
    if (event->type() == QEvent::TouchCancel) {
        if (touchId_ && input_->strokeOpen() && pointer_ == PointerKind::finger) {
            feed(StrokePhase::cancel, PointerKind::finger, lastSample_);
        }
        touchId_.reset();
        return;
    }
    const bool sensed = sensesPressure(event->pointingDevice());
    for (const QEventPoint& point : event->points()) {
        const PointerSample s = sampleAt(point.position(), event->timestamp(),
                                         sensed ? point.pressure() : host::kUnsensedPressure);
        if (!touchId_ && point.state() == QEventPoint::State::Pressed && !input_->strokeOpen()) {
            // The finger that draws is the first one down, as on a phone; others write nothing.
            touchId_ = point.id();
            feed(StrokePhase::down, PointerKind::finger, s);
        } else if (touchId_ && point.id() == *touchId_) {
            if (point.state() == QEventPoint::State::Released) {
                touchId_.reset();
                if (input_->strokeOpen() && pointer_ == PointerKind::finger) {
                    feed(StrokePhase::up, PointerKind::finger, s);
                }
            } else if (point.state() == QEventPoint::State::Updated &&
                       pointer_ == PointerKind::finger) {
                feed(StrokePhase::move, PointerKind::finger, s);
            }
        }
    }
}

bool PenwellWidget::event(QEvent* event) {
    switch (event->type()) {
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::TouchCancel:
            touchEvent(static_cast<QTouchEvent*>(event));
            return true;
        default:
            return QWidget::event(event);
    }
}

bool PenwellWidget::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::TabletLeaveProximity && input_ && input_->strokeOpen() &&
        pointer_ == PointerKind::stylus) {
        abandonStroke();
    }
    return QWidget::eventFilter(watched, event);
}

void PenwellWidget::hideEvent(QHideEvent* event) {
    abandonStroke();
    QWidget::hideEvent(event);
}

}  // namespace penwell::qt
