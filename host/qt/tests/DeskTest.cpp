// penwell desk on the offscreen platform: the pad on a second screen, a kiosk that starts
// again after each signature, the signer's language, and the command line's refusals.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>
#include <filesystem>

#include "DeskFixtures.h"

namespace penwell::qt::testing {
namespace {

namespace fs = std::filesystem;

class DeskOffscreen : public DeskFolderTest {
protected:
    DeskOffscreen() : DeskFolderTest("penwell-desk-offscreen-") {}
};

TEST_F(DeskOffscreen, APadScreenGetsThePadFullScreenAndAKioskStartsAgain) {
    const auto desk = makeDesk(pdf, op, scratch / "out", "330,120,200,80", 1, true, "de");
    desk->present();
    QCoreApplication::processEvents();
    QWidget& padWindow = desk->padWindow();
    ASSERT_NE(&padWindow, desk.get());
    EXPECT_EQ(padWindow.windowHandle()->screen(), QGuiApplication::screens().at(1));
    EXPECT_TRUE(padWindow.isFullScreen());
    EXPECT_TRUE(desk->isFullScreen());
    EXPECT_EQ(desk->doneButton().text(), QString("Fertig"));

    std::vector<QString> saved;
    QObject::connect(desk.get(), &DeskWindow::saved,
                     [&](const QString& name) { saved.push_back(name); });
    for (int signer = 0; signer < 2; ++signer) {
        writeSignature(desk->pad(), 1000 + 5000 * signer);
        desk->sign();
        ASSERT_EQ(saved.size(), static_cast<std::size_t>(signer + 1))
            << desk->status().toStdString();
        EXPECT_TRUE(desk->isVisible());  // the kiosk stays, for the next signer
        EXPECT_TRUE(desk->pad().controller().lines().empty());
        EXPECT_TRUE(desk->status().startsWith("Unterschrieben und gespeichert"));
    }
    EXPECT_NE(saved[0], saved[1]);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "out"), {}), 10);
}

TEST_F(DeskOffscreen, AFailedDoneKeepsTheSignatureAndSaysWhy) {
    const auto desk = makeDesk(pdf, op, scratch / "missing" / "folder");
    desk->present();
    writeSignature(desk->pad(), 1000);
    const std::size_t strokes = desk->pad().controller().lines().size();
    desk->sign();
    EXPECT_TRUE(desk->status().startsWith("Could not save: ")) << desk->status().toStdString();
    EXPECT_EQ(desk->pad().controller().lines().size(), strokes);
    EXPECT_TRUE(desk->isVisible());
}

TEST_F(DeskOffscreen, TheCommandLineRefusesWithOneLine) {
    const QString document = QString::fromStdString(pdf.string());
    const QString key = QString::fromStdString(op.key.string());
    const QString cert = QString::fromStdString(op.certificate.string());
    const QString resources = QString::fromStdString(kDemoResources.string());
    const QString out = QString::fromStdString((scratch / "out").string());
    const std::pair<QStringList, std::string> cases[] = {
        {{"desk", document, "--lang", "xx"}, "--lang xx: no such language (there are de, en, fr)"},
        {{"desk", document, "--demo", "--resources", resources, "--out", out},
         "desk: needs --sign-key"},
        {{"desk", document, "--demo", "--resources", resources, "--out", out, "--sign-key", key,
          "--sign-cert", cert, "--page", "3", "--rect", "10,10,100,50"},
         "page 3"},
        {{"desk", document, "--resources", resources, "--out", out, "--sign-key", key,
          "--sign-cert", cert, "--rect", "10,10,100,50"},
         "--demo"},
        {{"desk", document, "--demo", "--resources", resources, "--out", out, "--sign-key", key,
          "--sign-cert", cert, "--rect", "10,10,100,50", "--pad-screen", "7"},
         "--pad-screen 7: there are screens 0 to 2"},
    };
    for (const auto& [arguments, message] : cases) {
        const Ran ran = runTool(arguments);
        EXPECT_EQ(ran.status, 1) << ran.output;
        // The error is the last line, whatever warnings came before it.
        const std::string last =
            ran.output.substr(ran.output.rfind('\n', ran.output.size() - 2) + 1);
        EXPECT_EQ(last.rfind("penwell: ", 0), 0u) << ran.output;
        EXPECT_NE(last.find(message), std::string::npos) << ran.output;
    }
    const Ran usage = runTool({"desk"});
    EXPECT_EQ(usage.status, 2) << usage.output;
}

}  // namespace
}  // namespace penwell::qt::testing
