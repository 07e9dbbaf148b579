// penwell desk on the offscreen platform: the pad on a second screen, a kiosk that starts
// again after each signature and certifies when asked, the signer's language (the browser
// page's words), and the command line's refusals.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "DeskFixtures.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/filesystem/StagedFile.h"

namespace penwell::qt::testing {
namespace {

namespace fs = std::filesystem;

using DeskOffscreen = DeskFolderTest;

TEST_F(DeskOffscreen, APadScreenGetsThePadFullScreenAndAKioskStartsAgain) {
    const auto desk =
        makeDesk(pdf, op, scratch / "out", "330,120,200,80", 1, true, "de", {}, /*certify=*/2);
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
        EXPECT_EQ(desk->status(), QString("Unterschrieben und gespeichert"));
    }
    EXPECT_NE(saved[0], saved[1]);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch / "out"), {}), 10);
    // Certified as pdf sign --certify 2 certifies.
    const auto signedPdf = filesystem::readFile(scratch / "out" / (saved[1].toStdString() + ".pdf"),
                                                pdf::kMaxDocumentBytes, "a PDF");
    ASSERT_TRUE(signedPdf) << signedPdf.error().message;
    const auto reports = pdf::verifyPdf(*signedPdf, "signed.pdf", {});
    ASSERT_TRUE(reports) << reports.error().message;
    ASSERT_EQ(reports->size(), 1u);
    EXPECT_TRUE(reports->front().signatureValid) << reports->front().signatureProblem;
    EXPECT_EQ(reports->front().certification, 2);
}

/// The pad on a screen of its own, where the injected pen reaches all of it.
constexpr int kPadScreen = 1;

TEST_F(DeskOffscreen, AFailedDoneKeepsTheSignatureAndTellsTheClerkWhy) {
    std::vector<std::string> told;
    const auto desk =
        makeDesk(pdf, op, scratch / "missing" / "folder", "330,120,200,80", kPadScreen, false, "en",
                 [&](const std::string& line) { told.push_back(line); });
    desk->present();
    QCoreApplication::processEvents();
    writeSignature(desk->pad(), 1000);
    const std::size_t strokes = desk->pad().controller().lines().size();
    desk->sign();
    // The signer reads what the page says; the path at fault goes to the clerk only.
    EXPECT_EQ(desk->status(), QString("Your signature could not be saved. Please tell the staff."));
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].rfind("could not save: ", 0), 0u) << told[0];
    EXPECT_NE(told[0].find((scratch / "missing").string()), std::string::npos) << told[0];
    EXPECT_EQ(desk->pad().controller().lines().size(), strokes);
    EXPECT_TRUE(desk->isVisible());
}

/// Every text a window shows: its title, its labels' and its buttons'.
std::set<std::string> shownTexts(const QWidget& window) {
    std::set<std::string> shown{window.windowTitle().toStdString()};
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        shown.insert(label->text().toStdString());
    }
    for (const QPushButton* button : window.findChildren<QPushButton*>()) {
        shown.insert(button->text().toStdString());
    }
    return shown;
}

TEST_F(DeskOffscreen, TheSignerReadsThePagesWordsInTheirLanguage) {
    // The table read apart from the loader: the desk shows, in each language, the texts the
    // browser page shows in the same place, with the same values filled in.
    const auto table =
        nlohmann::json::parse(std::ifstream(PENWELL_SOURCE_DIR "/host/common/wording/signer.json"));
    const auto fill = [](std::string text, const std::string& name, const std::string& value) {
        return text.replace(text.find("{" + name + "}"), name.size() + 2, value);
    };
    for (const std::string lang : {"en", "de", "fr"}) {
        const auto& t = table.at(lang);
        const auto desk =
            makeDesk(pdf, op, scratch / "out", "330,120,200,80", std::nullopt, false, lang);
        const std::set<std::string> shown = shownTexts(*desk);
        const std::string signs =
            fill(fill(t.at("signs"), "name", "Erika Mustermann"), "reason", "I agree to the terms");
        const std::string page = fill(fill(t.at("page"), "page", "1"), "pages", "2") + ": " +
                                 t.at("placeHere").get<std::string>();
        for (const std::string& expected :
             {t.at("title").get<std::string>(), t.at("signHere").get<std::string>(), signs,
              fill(t.at("signsAt"), "location", "Counter 3"), page,
              t.at("previousPage").get<std::string>(), t.at("nextPage").get<std::string>(),
              t.at("undo").get<std::string>(), t.at("clear").get<std::string>(),
              t.at("done").get<std::string>()}) {
            EXPECT_TRUE(shown.contains(expected)) << lang << ": " << expected;
        }
    }
}

TEST_F(DeskOffscreen, TheCommandLineRefusesWithOneLine) {
    const QString document = QString::fromStdString(pdf.string());
    const QString key = QString::fromStdString(op.key.string());
    const QString cert = QString::fromStdString(op.certificate.string());
    const QString resources = QString::fromStdString(kDemoResources.string());
    const QString out = QString::fromStdString((scratch / "out").string());
    const std::pair<QStringList, std::string> cases[] = {
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
    const Ran certify = runTool({"desk", document, "--certify", "4"});
    EXPECT_EQ(certify.status, 2) << certify.output;
    EXPECT_NE(certify.output.find("--certify"), std::string::npos) << certify.output;
}

}  // namespace
}  // namespace penwell::qt::testing
