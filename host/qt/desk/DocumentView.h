#pragma once
// The document being signed, shown with Qt's own PDF module (QtPdf): one page at a time,
// fitted to the view, with the place the signature goes marked on its page.

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QPdfDocument>
#include <QRectF>
#include <QWidget>

#include "penwell/host/common/DocumentToSign.h"

namespace penwell::qt {

class DocumentView : public QWidget {
    Q_OBJECT

public:
    /// Shows `document`'s bytes, the very ones signed, opening at the page of the place.
    explicit DocumentView(std::shared_ptr<const host::DocumentToSign> document,
                          QWidget* parent = nullptr);

    /// Whether QtPdf could open the bytes; else error() says why.
    bool isShown() const;
    QString error() const;
    int pageCount() const;
    /// The page shown, 1 for the first.
    int page() const { return page_; }
    void showPage(int page);
    /// Where the place is marked in the view, in logical pixels (empty on another page).
    QRectF markedPlace() const;
    /// Where the page is drawn in the view.
    QRectF pageArea() const;

    /// The colours of the mark: a translucent fill and a solid border.
    static QColor markFill() { return QColor(255, 196, 0, 96); }
    static QColor markBorder() { return QColor(214, 110, 0); }

    QSize sizeHint() const override { return {560, 720}; }

signals:
    void pageChanged(int page);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    double zoom() const;

    std::shared_ptr<const host::DocumentToSign> document_;
    QByteArray bytes_;
    QBuffer buffer_;
    QPdfDocument pdf_;
    int page_ = 1;
    QImage rendered_;  // the page at the view's size and pixel ratio
};

}  // namespace penwell::qt
