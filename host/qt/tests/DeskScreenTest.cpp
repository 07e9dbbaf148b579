// penwell desk on a real X server (Xvfb): a screenshot of the screen shows the document, the
// marked place and the pad; a full signing run writes a PDF that pdfsig, qpdf --check and
// `penwell pdf verify` accept, with the outputs the browser pad writes.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <filesystem>

#include "DeskFixtures.h"

namespace penwell::qt::testing {
namespace {

namespace fs = std::filesystem;

class Desk : public DeskFolderTest {
protected:
    /// Shows the desk and waits (bounded) until the X server shows it.
    void show(DeskWindow& desk) {
        desk.resize(1300, 900);
        desk.move(0, 0);
        desk.present();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&desk, 10000));
        QTest::qWait(200);  // the first frames reach the server
    }
    /// The screen's pixels, as the X server holds them.
    static QImage screenshot() {
        QCoreApplication::processEvents();
        return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
            QImage::Format_RGB32);
    }
};

bool near(QColor a, QColor b, int tolerance) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

TEST_F(Desk, TheScreenShowsTheDocumentThePlaceAndThePad) {
    const auto desk = makeDesk(pdf, op, scratch / "out");
    show(*desk);
    writeSignature(desk->pad(), 1000);
    QTest::qWait(200);
    const QImage screen = screenshot();

    // The page's band, where the page's points put it.
    DocumentView& view = desk->document();
    const QRectF page = view.pageArea();
    const double zoom = page.width() / 595.0;  // A4 is 595 points wide
    const QPoint band = view.mapToGlobal(
        (page.topLeft() + QPointF(kBandLeft + kBandWidth / 2, kBandTop + kBandHeight / 2) * zoom)
            .toPoint());
    EXPECT_TRUE(near(screen.pixelColor(band), bandColour(), 2))
        << screen.pixelColor(band).name().toStdString();
    // Off the band, the page is white.
    const QPoint paper = view.mapToGlobal((page.topLeft() + QPointF(30, 400) * zoom).toPoint());
    EXPECT_EQ(screen.pixelColor(paper), QColor(Qt::white));

    // The place (330,120 200x80 from the lower-left corner), marked.
    const QRectF mark = view.markedPlace();
    ASSERT_FALSE(mark.isEmpty());
    EXPECT_NEAR(mark.left(), page.left() + 330 * zoom, 1.0);
    EXPECT_NEAR(mark.top(), page.top() + (842 - 120 - 80) * zoom, 1.0);
    const QColor fill = DocumentView::markFill();
    const double a = fill.alphaF();
    const QColor overWhite(std::lround(fill.red() * a + 255 * (1 - a)),
                           std::lround(fill.green() * a + 255 * (1 - a)),
                           std::lround(fill.blue() * a + 255 * (1 - a)));
    EXPECT_TRUE(near(screen.pixelColor(view.mapToGlobal(mark.center().toPoint())), overWhite, 3));
    EXPECT_TRUE(
        near(screen.pixelColor(view.mapToGlobal(QPointF(mark.left(), mark.center().y()).toPoint())),
             DocumentView::markBorder(), 40));

    // The pad, with the ink, exactly as the widget paints it.
    PenwellWidget& pad = desk->pad();
    const QImage drawn = pad.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage shown = screen.copy(QRect(pad.mapToGlobal(QPoint(0, 0)), pad.size()));
    EXPECT_EQ(shown, drawn);
    int ink = 0;
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            ink += qGray(shown.pixel(x, y)) < 128;
        }
    }
    EXPECT_GT(ink, 500);
}

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().extension().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Desk, DoneSignsThePdfAsPdfSignDoesAndValidatorsAcceptIt) {
    const auto desk = makeDesk(pdf, op, scratch / "out");
    show(*desk);
    QString saved;
    QObject::connect(desk.get(), &DeskWindow::saved, [&](const QString& name) { saved = name; });
    EXPECT_FALSE(desk->doneButton().isEnabled());  // nothing to sign yet
    writeSignature(desk->pad(), 1000);
    ASSERT_TRUE(desk->doneButton().isEnabled());
    QTest::mouseClick(&desk->doneButton(), Qt::LeftButton);
    ASSERT_FALSE(saved.isEmpty()) << desk->status().toStdString();
    EXPECT_FALSE(desk->isVisible());  // signed: the desk closes
    const fs::path stem = scratch / "out" / saved.toStdString();
    EXPECT_EQ(filesIn(scratch / "out"),
              (std::vector<std::string>{".data", ".evidence", ".key", ".pdf", ".png"}));
    const QString signedPdf = QString::fromStdString(stem.string() + ".pdf");

    // An incremental update of the very bytes shown: the original is a prefix.
    const std::string original = test::readText(pdf),
                      result = test::readText(stem.string() + ".pdf");
    ASSERT_GT(result.size(), original.size());
    EXPECT_EQ(result.compare(0, original.size(), original), 0);

    const Ran pdfsig = runProgram("pdfsig", {signedPdf});
    EXPECT_EQ(pdfsig.status, 0) << pdfsig.output;
    EXPECT_NE(pdfsig.output.find("Signature is Valid"), std::string::npos) << pdfsig.output;
    EXPECT_NE(pdfsig.output.find("Signer full Distinguished Name"), std::string::npos);
    const Ran check = runProgram("qpdf", {"--check", signedPdf});
    EXPECT_EQ(check.status, 0) << check.output;
    const Ran verify =
        runTool({"pdf", "verify", signedPdf, "--trust",
                 QString::fromStdString(op.certificate.string()), "--private-key",
                 QString::fromStdString((kDemoResources / "demo-private-key.pem").string())});
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find("evidence: bound to the signed revision"), std::string::npos)
        << verify.output;
    // The record opens with the receiver's key, as every host's does.
    const Ran opened =
        runTool({"open", "--private-key",
                 QString::fromStdString((kDemoResources / "demo-private-key.pem").string()),
                 "--data", QString::fromStdString(stem.string() + ".data"), "--key",
                 QString::fromStdString(stem.string() + ".key")});
    EXPECT_EQ(opened.status, 0) << opened.output;
}

}  // namespace
}  // namespace penwell::qt::testing
