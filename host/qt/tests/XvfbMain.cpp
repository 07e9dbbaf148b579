// The desk's screenshot tests run on a real X server: Xvfb, started here on a free display
// before Qt connects to it and stopped when the tests end. Every wait is bounded.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <qpa/qwindowsysteminterface.h>
#include <QApplication>
#include <cstdio>
#include <string>

namespace {

/// Xvfb on the first free display of a few tried; stopped when destroyed.
class Xvfb {
public:
    Xvfb() {
        const int first = 100 + static_cast<int>(getpid() % 400);
        for (int display = first; display < first + 8 && !running(); ++display) {
            start(display);
        }
    }
    ~Xvfb() { stop(); }
    bool running() const { return display_ >= 0; }
    int display() const { return display_; }

private:
    void start(int display) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(display);
        if (access(socket.c_str(), F_OK) == 0) {
            return;  // another server's
        }
        const std::string name = ":" + std::to_string(display);
        const char* args[] = {"Xvfb",      name.c_str(), "-screen",  "0",    "1400x1000x24",
                              "-nolisten", "tcp",        "-noreset", nullptr};
        if (posix_spawnp(&pid_, "Xvfb", nullptr, nullptr, const_cast<char* const*>(args),
                         environ) != 0) {
            pid_ = -1;
            return;
        }
        // Up to 15 s for its socket; a server that exits (the display was taken) is done.
        for (int tries = 0; tries < 300; ++tries) {
            if (access(socket.c_str(), F_OK) == 0) {
                display_ = display;
                return;
            }
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            usleep(50000);
        }
        stop();
    }
    void stop() {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGTERM);
        for (int tries = 0; tries < 100; ++tries) {  // 5 s, then it is killed
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            usleep(50000);
        }
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int display_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind("--gtest_list_tests", 0) == 0) {
            return RUN_ALL_TESTS();
        }
    }
    Xvfb xvfb;
    if (!xvfb.running()) {
        std::fprintf(stderr, "Xvfb could not be started: run scripts/install-deps\n");
        return 1;
    }
    qputenv("DISPLAY", QByteArray(":") + QByteArray::number(xvfb.display()));
    qputenv("QT_QPA_PLATFORM", "xcb");
    int status = 1;
    {
        QApplication app(argc, argv);
        QWindowSystemInterface::setSynchronousWindowSystemEvents(true);
        status = RUN_ALL_TESTS();
    }
    return status;
}
