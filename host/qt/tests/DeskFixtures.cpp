#include "DeskFixtures.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QPainter>
#include <QPdfWriter>
#include <cmath>

#include "Inject.h"
#include "penwell/platform/SigningIdentityFiles.h"

namespace penwell::qt::testing {

void makePdf(const std::filesystem::path& file) {
    QPdfWriter writer(QString::fromStdString(file.string()));
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(72);  // one unit a point
    QPainter painter(&writer);
    painter.fillRect(QRectF(kBandLeft, kBandTop, kBandWidth, kBandHeight), bandColour());
    writer.newPage();
    painter.drawLine(QPointF(100, 100), QPointF(200, 100));
    painter.end();
}

Ran runProgram(const QString& program, const QStringList& arguments, int timeoutMs) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    Ran ran;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        ran.output = "did not finish in time";
        return ran;
    }
    ran.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    ran.output = process.readAll().toStdString();
    return ran;
}

Ran runTool(const QStringList& arguments, int timeoutMs) {
    return runProgram(PENWELL_TOOL, arguments, timeoutMs);
}

Operator makeOperator(const std::filesystem::path& folder) {
    const Ran made =
        runTool({"cert", "new", "--operator", "--out", QString::fromStdString(folder.string())});
    EXPECT_EQ(made.status, 0) << made.output;
    return {folder / "operator-key.pem", folder / "operator-certificate.pem"};
}

std::unique_ptr<DeskWindow> makeDesk(const std::filesystem::path& pdf, const Operator& op,
                                     const std::filesystem::path& out, const std::string& rect,
                                     std::optional<int> padScreen, bool kiosk,
                                     const std::string& lang,
                                     std::function<void(const std::string&)> warn,
                                     std::optional<int> certify) {
    SigningIdentityFiles files;
    files.key = op.key.string();
    files.certificate = op.certificate;
    const auto signer = loadSigningIdentity(files);
    EXPECT_TRUE(signer) << (signer ? "" : signer.error().message);
    DeskSettings settings;
    const auto document = host::DocumentToSign::open(
        {pdf, std::nullopt, 1, rect, "I agree to the terms", "Counter 3", "Erika Mustermann",
         certify},
        *signer, "--sign-key", "--sign-cert");
    EXPECT_TRUE(document) << (document ? "" : document.error().message);
    settings.document = *document;
    settings.pad.services.resources = kDemoResources;
    settings.pad.bundle.signer = *signer;
    settings.out = out;
    settings.padScreen = padScreen;
    settings.kiosk = kiosk;
    settings.wording = *host::Wording::load(lang);
    settings.warn = std::move(warn);
    return std::make_unique<DeskWindow>(std::move(settings));
}

void writeSignature(PenwellWidget& pad, unsigned long startMs) {
    Injector inject(pad);
    for (int stroke = 0; stroke < 2; ++stroke) {
        const unsigned long t0 = startMs + 400 * stroke;
        const QPointF from(60.0 + 250 * stroke, 150);
        for (int i = 0; i <= 50; ++i) {
            inject.pen(true, t0 + 4 * i,
                       from + QPointF(i * 4.0, -60 * std::sin(i / 8.0) * std::cos(i / 23.0)),
                       0.3 + 0.4 * std::abs(std::sin(i / 10.0)));
        }
        inject.pen(false, t0 + 210, from + QPointF(200, 0), 0.0);
    }
    QCoreApplication::processEvents();
}

void DeskFolderTest::SetUp() {
    std::filesystem::create_directories(scratch / "out");
    makePdf(pdf);
    op = makeOperator(scratch / "operator");
}

}  // namespace penwell::qt::testing
