// The desktop host's tests run without a display on Qt's offscreen platform, with three
// screens at device pixel ratios 1, 2 and 3 side by side, and window-system events delivered
// as they are injected (QWindowSystemInterface), as a real tablet's are, one by one.

#include <gtest/gtest.h>

#include <qpa/qwindowsysteminterface.h>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir scratch;
    const QString config = scratch.filePath("screens.json");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        return 1;
    }
    file.write(R"({"synchronousWindowSystemEvents": true, "screens": [
        {"name": "ratio1", "x": 0, "y": 0, "width": 1600, "height": 1000, "dpr": 1},
        {"name": "ratio2", "x": 1600, "y": 0, "width": 1600, "height": 1000, "dpr": 2},
        {"name": "ratio3", "x": 3200, "y": 0, "width": 1600, "height": 1000, "dpr": 3}]})");
    file.close();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).toUtf8());
    }
    QApplication app(argc, argv);
    QWindowSystemInterface::setSynchronousWindowSystemEvents(true);
    return RUN_ALL_TESTS();
}
