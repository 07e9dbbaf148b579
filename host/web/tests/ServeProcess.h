#pragma once
// `penwell serve` as a child process, as an operator runs it: started with its arguments, its
// address read from its first line, stopped with SIGTERM, or killed with SIGKILL as a crash
// would. Every wait is bounded.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace penwell::web::servertest {

class ServeProcess {
public:
    /// Starts `tool serve ARGS --port 0` and waits (at most 60 s) for the line naming its
    /// address. port() is 0 when it did not come.
    ServeProcess(const std::string& tool, std::vector<std::string> args) {
        args.insert(args.begin(), {tool, "serve", "--port", "0"});
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        output_ = out[0];
        readAddress();
    }
    ~ServeProcess() {
        kill(SIGKILL);
        if (output_ >= 0) {
            close(output_);
        }
    }
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    std::uint16_t port() const { return port_; }

    /// Sends `signal` and waits for the process (at most 30 s, then SIGKILL).
    void kill(int signal) {
        if (pid_ <= 0) {
            return;
        }
        ::kill(pid_, signal);
        for (int i = 0; i < 300; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            usleep(100'000);
        }
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    void readAddress() {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline &&
               text.find('\n') == std::string::npos) {
            pollfd ready{output_, POLLIN, 0};
            if (poll(&ready, 1, 1000) <= 0) {
                continue;
            }
            char buffer[512];
            const ssize_t n = read(output_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        std::smatch found;
        if (std::regex_search(text, found, std::regex(R"(http://127\.0\.0\.1:(\d+)/)"))) {
            port_ = static_cast<std::uint16_t>(std::stoi(found[1]));
        } else {
            ADD_FAILURE() << "penwell serve did not say where it listens: " << text;
        }
    }

    pid_t pid_ = -1;
    int output_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace penwell::web::servertest
