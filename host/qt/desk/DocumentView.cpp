#include "penwell/host/qt/desk/DocumentView.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>

namespace penwell::qt {

namespace {

constexpr int kMargin = 12;  // around the page, in logical pixels

}  // namespace

DocumentView::DocumentView(std::shared_ptr<const host::DocumentToSign> document, QWidget* parent)
    : QWidget(parent), document_(std::move(document)) {
    // QtPdf reads from a device; it is given the bytes read at start-up, never the file again.
    const Bytes& bytes = document_->bytes();
    bytes_ = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<qsizetype>(bytes.size()));
    buffer_.setData(bytes_);
    buffer_.open(QIODevice::ReadOnly);
    pdf_.load(&buffer_);
    page_ = std::clamp(document_->place().page, 1, std::max(1, pageCount()));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

bool DocumentView::isShown() const {
    return pdf_.status() == QPdfDocument::Status::Ready && pdf_.pageCount() > 0;
}

QString DocumentView::error() const {
    switch (pdf_.error()) {
        case QPdfDocument::Error::None:
            return {};
        case QPdfDocument::Error::UnsupportedSecurityScheme:
        case QPdfDocument::Error::IncorrectPassword:
            return tr("it is encrypted");
        default:
            return tr("QtPdf cannot read it");
    }
}

int DocumentView::pageCount() const {
    return pdf_.pageCount();
}

void DocumentView::showPage(int page) {
    page = std::clamp(page, 1, std::max(1, pageCount()));
    if (page != page_) {
        page_ = page;
        rendered_ = {};
        update();
        emit pageChanged(page_);
    }
}

double DocumentView::zoom() const {
    const QSizeF points = pdf_.pagePointSize(page_ - 1);
    if (points.isEmpty()) {
        return 1.0;
    }
    return std::max(0.05, std::min((width() - 2 * kMargin) / points.width(),
                                   (height() - 2 * kMargin) / points.height()));
}

QRectF DocumentView::pageArea() const {
    const QSizeF size = pdf_.pagePointSize(page_ - 1) * zoom();
    return {QPointF((width() - size.width()) / 2, (height() - size.height()) / 2), size};
}

QRectF DocumentView::markedPlace() const {
    const host::DocumentPlace& place = document_->place();
    if (place.page != page_ || !isShown()) {
        return {};
    }
    // PDF points from the page's lower-left corner, y up; the view's y runs down.
    const double z = zoom();
    const QRectF area = pageArea();
    const double pageHeight = pdf_.pagePointSize(page_ - 1).height();
    return {area.left() + place.x * z, area.top() + (pageHeight - place.y - place.height) * z,
            place.width * z, place.height * z};
}

void DocumentView::resizeEvent(QResizeEvent* event) {
    rendered_ = {};
    QWidget::resizeEvent(event);
}

void DocumentView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(event->rect(), QColor(96, 96, 96));
    if (!isShown()) {
        return;
    }
    const QRectF area = pageArea();
    const double ratio = devicePixelRatioF();
    const QSize pixels = (area.size() * ratio).toSize();
    if (rendered_.size() != pixels) {
        // Rendered for the screen's pixels, so the page stays sharp on a dense screen.
        rendered_ = pdf_.render(page_ - 1, pixels);
        rendered_.setDevicePixelRatio(ratio);
    }
    painter.fillRect(area, Qt::white);
    painter.drawImage(area.topLeft(), rendered_);
    if (const QRectF mark = markedPlace(); !mark.isEmpty()) {
        painter.fillRect(mark, markFill());
        painter.setPen(QPen(markBorder(), 2));
        painter.drawRect(mark);
    }
}

}  // namespace penwell::qt
