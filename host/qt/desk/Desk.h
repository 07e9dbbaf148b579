#pragma once
// `penwell desk`: a desktop signing app for a counter or a kiosk. The clerk's screen shows the
// document (QtPdf) with the place marked, the reason and the signer's name; the pad
// (PenwellWidget) sits beside it, or full-screen on a second screen (a pen display beside the
// clerk's monitor). Done makes the outputs of the one export path and signs the PDF as
// `penwell pdf sign` signs it, and writes NAME.data, NAME.key, NAME.png, NAME.evidence and
// NAME.pdf into the output folder, all or none. A kiosk runs full-screen and starts again
// after each signature; otherwise the desk closes once the document is signed.

#include <QLabel>
#include <QMainWindow>
#include <QPointer>
#include <QPushButton>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "penwell/host/common/DocumentToSign.h"
#include "penwell/host/common/Wording.h"
#include "penwell/host/qt/PenwellWidget.h"
#include "penwell/host/qt/desk/DocumentView.h"

namespace penwell::qt {

struct DeskSettings {
    std::shared_ptr<const host::DocumentToSign> document;
    /// The pad; its bundle settings are completed with the document's digest and signing.
    PadOptions pad;
    std::filesystem::path out;     ///< where Done writes
    std::optional<int> padScreen;  ///< the pad on this screen (0 is the first), full-screen
    bool kiosk = false;
    host::Wording wording;
    /// Told what signing the document warns of, one line each (a PDF/A input that the
    /// signature takes out of conformance), and why a Done or the document failed, which the
    /// signer is told only as the page tells it; nil: nobody is told.
    std::function<void(const std::string&)> warn;
};

class DeskWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit DeskWindow(DeskSettings settings, QWidget* parent = nullptr);
    ~DeskWindow() override;

    PenwellWidget& pad() { return *pad_; }
    DocumentView& document() { return *document_; }
    /// The window the pad is in: this one, or its own on --pad-screen.
    QWidget& padWindow() { return padWindow_ ? *padWindow_ : *this; }
    QPushButton& doneButton() { return *done_; }
    QString status() const { return status_->text(); }

    /// Shows the desk: the window and, on --pad-screen, the pad's, each full-screen on a kiosk.
    void present();

public slots:
    /// Done: signs, writes, and then starts again (kiosk) or closes.
    void sign();

signals:
    /// The outputs of one signature are written under `name` (the stem) in the folder.
    void saved(const QString& name);

private:
    QString text(std::string_view key,
                 std::initializer_list<std::pair<std::string_view, std::string>> values = {}) const;
    void showPageHint();
    /// Tells the clerk (settings' warn) what the signer is not shown: a reason with paths.
    void tell(const std::string& what) const;

    DeskSettings settings_;
    DocumentView* document_ = nullptr;
    PenwellWidget* pad_ = nullptr;
    QPointer<QWidget> padWindow_;  // on --pad-screen: the pad's own window
    QLabel* pageLine_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* done_ = nullptr;
};

}  // namespace penwell::qt
