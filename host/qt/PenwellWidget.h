#pragma once
// A signing pad for Qt applications: a QWidget that owns a real PenwellViewController and is
// its pad. The controller's run loop is Qt's event loop; pen (QTabletEvent), finger
// (QTouchEvent) and mouse events reach it one by one with their own timestamps; what it draws
// is shown from the pad's own pixels, at the screen's device pixel ratio, repainting only what
// changed. Done hands out the outputs of the one export path (host/common/SignatureBundle.h).
//
// Every event is delivered: the widget turns off Qt's compression of tablet and high-frequency
// events for the application (Qt::AA_CompressTabletEvents, Qt::AA_CompressHighFrequencyEvents),
// since a merged move is a lost sample of the signature.

#include <QImage>
#include <QSize>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "penwell/capture/Penwell.h"
#include "penwell/host/common/PointerInput.h"
#include "penwell/host/common/SignatureBundle.h"
#include "penwell/platform/Defaults.h"

class QTabletEvent;
class QTouchEvent;

namespace penwell::qt {

class QtRunLoop;

struct PadOptions {
    QSize size{600, 250};         ///< the pad in points: logical pixels of the widget
    bool smoothing = true;        ///< finger strokes are smoothed after a pause
    float lineWidth = 3.0f;       ///< ink width in points (a pen's width follows its pressure)
    ServiceOptions services;      ///< certificate store and resource folder (Penwell.dat)
    host::BundleSettings bundle;  ///< who the evidence is signed by and sealed for; a document
    /// Samples the pad may hold: bounds the memory of a pad whatever a device sends.
    std::size_t samplesLimit = 100000;
};

class PenwellWidget : public QWidget {
    Q_OBJECT

public:
    explicit PenwellWidget(const PadOptions& options = {}, QWidget* parent = nullptr);
    ~PenwellWidget() override;

    PenwellViewController& controller() { return *controller_; }
    const ImageView& pad() const { return *pad_; }
    /// Where the pad lies in the widget, in logical pixels: centred when the widget is larger.
    QRect padRect() const;
    /// The pixels per point the pad is painted at: the screen's device pixel ratio.
    double paintScale() const;

    /// The outputs of a Done: record, key, picture, evidence and the signed document when one
    /// is set. Emits done() with them; leaves the pad as it is either way (a host clears it
    /// once it has kept them). Fails with the reason (too few samples, no certificate, ...).
    Result<host::SignatureBundle> finish();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

public slots:
    /// Removes the last stroke.
    void undo();
    /// Empties the pad.
    void clear();

signals:
    /// The strokes changed: one finished, undone or cleared.
    void signatureChanged();
    /// finish() made the outputs.
    void done(const penwell::host::SignatureBundle& bundle);
    /// One line about the input: an event refused (out of order, over the limit) or time that
    /// ran back. For a log; the pad has handled it.
    void noted(const QString& line);

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void tabletEvent(QTabletEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void touchEvent(QTouchEvent* event);
    /// Feeds one event and shows what it changed.
    void feed(host::StrokePhase phase, PointerKind pointer, const PointerSample& sample);
    /// Ends a stroke whose pointer went away (left the tablet's range, the widget hidden).
    void abandonStroke();
    PointerSample sampleAt(QPointF position, quint64 timestamp, double pressure) const;
    /// Compares the pad's image with the one last shown and schedules a repaint of the part
    /// that changed.
    void refresh();
    /// The pad's picture of one tile at `scale`, made when first needed after a change.
    const Image* scaledTile(int column, int row, double scale);

    PadOptions options_;
    headless::HeadlessHost host_;  // the application and device; the run loop is Qt's
    Services services_;
    std::shared_ptr<ImageView> pad_;
    std::unique_ptr<PenwellViewController> controller_;
    std::unique_ptr<host::StrokeInput> input_;

    PointerKind pointer_ = PointerKind::mouse;  // of the stroke being drawn
    PointerSample lastSample_;
    std::optional<int> touchId_;  // the finger that draws: the first one down
    std::size_t shownStrokes_ = 0;
    std::optional<Image> shown_;  // the pad's image as last shown
    double cachedScale_ = 1.0;
    std::map<std::pair<int, int>, Image> scaled_;  // tiles at cachedScale_, by column and row
};

}  // namespace penwell::qt
