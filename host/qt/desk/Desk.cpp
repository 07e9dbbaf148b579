#include "penwell/host/qt/desk/Desk.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

namespace penwell::qt {

namespace {

QLabel* line(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);  // a signer's name is text, never markup
    return label;
}

}  // namespace

DeskWindow::DeskWindow(DeskSettings settings, QWidget* parent)
    : QMainWindow(parent), settings_(std::move(settings)) {
    const auto& document = settings_.document;
    host::BundleSettings& bundle = settings_.pad.bundle;
    bundle.documentSha256 = document->digest();
    bundle.signDocument = [document, warn = settings_.warn](PenwellViewController& controller,
                                                            const Bytes& evidence) {
        return document->sign(controller, evidence, warn);
    };
    setWindowTitle(text("title"));

    auto* central = new QWidget(this);
    auto* columns = new QHBoxLayout(central);
    auto* documentColumn = new QVBoxLayout;
    pageLine_ = line({}, central);
    document_ = new DocumentView(document, central);
    auto* paging = new QHBoxLayout;
    auto* previous = new QPushButton(text("previousPage"), central);
    auto* next = new QPushButton(text("nextPage"), central);
    paging->addWidget(previous);
    paging->addWidget(next);
    paging->addStretch();
    documentColumn->addWidget(pageLine_);
    documentColumn->addLayout(paging);
    documentColumn->addWidget(document_, 1);
    columns->addLayout(documentColumn, 1);
    connect(previous, &QPushButton::clicked, this,
            [this] { document_->showPage(document_->page() - 1); });
    connect(next, &QPushButton::clicked, this,
            [this] { document_->showPage(document_->page() + 1); });
    connect(document_, &DocumentView::pageChanged, this, [this] { showPageHint(); });

    // The signer's side: what is signed and by whom, the pad and its buttons.
    auto* signerSide = new QWidget;
    auto* side = new QVBoxLayout(signerSide);
    auto* heading = line(text("signHere"), signerSide);
    QFont big = heading->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    heading->setFont(big);
    side->addWidget(heading);
    // Who signs and why, worded as the browser page words it.
    const host::DocumentRequest& request = document->request();
    const std::string& name = request.name;
    const std::string& reason = request.reason;
    if (!name.empty() || !reason.empty()) {
        const QString who = !name.empty() && !reason.empty()
                                ? text("signs", {{"name", name}, {"reason", reason}})
                            : !name.empty() ? text("signsName", {{"name", name}})
                                            : text("signsReason", {{"reason", reason}});
        side->addWidget(line(who, signerSide));
    }
    if (!request.location.empty()) {
        side->addWidget(line(text("signsAt", {{"location", request.location}}), signerSide));
    }
    pad_ = new PenwellWidget(settings_.pad, signerSide);
    side->addWidget(pad_, 0, Qt::AlignHCenter);
    auto* buttons = new QHBoxLayout;
    auto* undo = new QPushButton(text("undo"), signerSide);
    auto* clear = new QPushButton(text("clear"), signerSide);
    done_ = new QPushButton(text("done"), signerSide);
    done_->setDefault(true);
    buttons->addStretch();
    for (QPushButton* b : {undo, clear, done_}) {
        b->setMinimumHeight(40);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    side->addLayout(buttons);
    status_ = line({}, signerSide);
    status_->setAlignment(Qt::AlignHCenter);
    side->addWidget(status_);
    side->addStretch();
    connect(undo, &QPushButton::clicked, pad_, &PenwellWidget::undo);
    connect(clear, &QPushButton::clicked, pad_, &PenwellWidget::clear);
    connect(done_, &QPushButton::clicked, this, &DeskWindow::sign);
    connect(pad_, &PenwellWidget::signatureChanged, this,
            [this] { done_->setEnabled(pad_->controller().isSignature()); });
    done_->setEnabled(false);

    if (settings_.padScreen) {
        padWindow_ = signerSide;  // a window of its own, on its screen (present())
        signerSide->setWindowTitle(text("signHere"));
        signerSide->setAttribute(Qt::WA_DeleteOnClose, false);
    } else {
        columns->addWidget(signerSide, 0);
    }
    setCentralWidget(central);
    if (!document_->isShown()) {
        // The signer reads what the page says; the clerk's console gets the reason.
        status_->setText(text("documentFailed"));
        tell("the document cannot be shown: " + document_->error().toStdString());
        done_->setEnabled(false);
        pad_->setEnabled(false);
    }
    showPageHint();
}

DeskWindow::~DeskWindow() {
    delete padWindow_.data();  // a window of its own has no parent
}

QString DeskWindow::text(
    std::string_view key,
    std::initializer_list<std::pair<std::string_view, std::string>> values) const {
    return QString::fromStdString(settings_.wording.text(key, values));
}

void DeskWindow::tell(const std::string& what) const {
    if (settings_.warn) {
        settings_.warn(what);
    }
}

void DeskWindow::showPageHint() {
    const int page = document_->page();
    const int place = settings_.document->place().page;
    const QString where =
        page == place ? text("placeHere") : text("placeOnPage", {{"page", std::to_string(place)}});
    pageLine_->setText(text("page", {{"page", std::to_string(page)},
                                     {"pages", std::to_string(document_->pageCount())}}) +
                       ": " + where);
}

void DeskWindow::present() {
    if (padWindow_) {
        const QList<QScreen*> screens = QGuiApplication::screens();
        QScreen* screen = screens.value(*settings_.padScreen, nullptr);
        padWindow_->winId();  // makes its native window, so it can be placed on the screen
        if (screen != nullptr) {
            padWindow_->windowHandle()->setScreen(screen);
            padWindow_->setGeometry(screen->availableGeometry());
        }
        // A pen display is the signer's alone: the pad fills it.
        padWindow_->showFullScreen();
    }
    if (settings_.kiosk) {
        showFullScreen();
    } else {
        show();
    }
}

void DeskWindow::sign() {
    const Result<host::SignatureBundle> made = pad_->finish();
    if (!made) {
        status_->setText(text("notSaved"));
        tell("could not save: " + made.error().message);
        return;
    }
    const Result<std::string> written = host::writeBundle(*made, settings_.out);
    if (!written) {
        // The signer keeps the signature on the pad and may press Done again.
        status_->setText(text("notSaved"));
        tell("could not save: " + written.error().message);
        return;
    }
    pad_->clear();
    emit saved(QString::fromStdString(*written));
    status_->setText(text("signedSaved"));
    if (settings_.kiosk) {
        document_->showPage(settings_.document->place().page);
    } else {
        close();
        if (padWindow_) {
            padWindow_->close();
        }
    }
}

}  // namespace penwell::qt
