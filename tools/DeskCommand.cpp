// penwell desk: the desktop signing app (host/qt/desk/) on this machine's screens.

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <cstdlib>

#include "penwell/host/common/DocumentToSign.h"
#include "penwell/host/common/Wording.h"
#include "penwell/host/qt/desk/Desk.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

namespace {

/// Qt ends the process when it cannot reach a display: say so first, in one line.
void requireDisplay() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    if (!set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
        throw ToolError("desk: no display (set DISPLAY or WAYLAND_DISPLAY, or QT_QPA_PLATFORM)");
    }
}

}  // namespace

int runDesk(const DeskOptions& options, std::ostream& out, std::ostream& err) {
    const host::Wording wording = must(host::Wording::load(options.lang));
    // Every signature saves the encrypted record, whose key the pinned certificate wraps.
    SealPlan plan = sealFor(options.seal, true, true);
    const std::optional<SigningIdentity> signer = loadSigningIdentity(options.sign);
    if (!signer) {
        throw ToolError(
            "desk: needs --sign-key (with --sign-cert, or a PKCS#12 file): the "
            "signed PDF is sealed with the operator key");
    }
    qt::DeskSettings settings;
    settings.document =
        must(host::DocumentToSign::open(options.document, *signer, "--sign-key", "--sign-cert"));
    const Size pad = parsePad(options.pad);
    settings.pad.size = {static_cast<int>(pad.width), static_cast<int>(pad.height)};
    settings.pad.smoothing = options.smoothing;
    settings.pad.lineWidth = options.lineWidth;
    settings.pad.services.resources = options.resources;
    settings.pad.services.certificateStore = options.store;
    settings.pad.bundle.signer = signer;
    settings.pad.bundle.recipients = plan.recipients;
    settings.out = options.out;
    settings.padScreen = options.padScreen;
    settings.kiosk = options.kiosk;
    settings.wording = wording;
    settings.warn = [&err](const std::string& warning) {
        err << "penwell: warning: " << warning << std::endl;
    };
    checkWritable(options.out);
    checkKeyWrap(settings.pad.services, signer, plan.recipients);
    warnOfDemo(plan, err);

    requireDisplay();
    // A pen's samples must reach the pad one by one, from the first event on.
    QCoreApplication::setAttribute(Qt::AA_CompressTabletEvents, false);
    QCoreApplication::setAttribute(Qt::AA_CompressHighFrequencyEvents, false);
    int argc = 1;
    char name[] = "penwell";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    if (options.padScreen) {
        const auto screens = QGuiApplication::screens().size();
        if (*options.padScreen < 0 || *options.padScreen >= screens) {
            throw ToolError("--pad-screen " + std::to_string(*options.padScreen) +
                            ": there are screens 0 to " + std::to_string(screens - 1));
        }
    }
    qt::DeskWindow desk(settings);
    int signatures = 0;
    QObject::connect(&desk, &qt::DeskWindow::saved, [&](const QString& stem) {
        ++signatures;
        out << (options.out / stem.toStdString()).string() << ": signed and saved (.data, .key, "
            << ".png, .evidence, .pdf)" << std::endl;
    });
    desk.present();
    app.exec();
    if (signatures == 0) {
        throw ToolError("desk: closed without a signature");
    }
    return 0;
}

}  // namespace penwell::tools
