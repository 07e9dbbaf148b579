#pragma once
// A signing session below the network for the tests: a real controller on a manual run loop,
// and a sink that keeps everything the session sends and logs.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "penwell/host/web/Session.h"
#include "penwell/platform/cairo/CairoGraphics.h"
#include "penwell/platform/headless/Headless.h"

namespace penwell::web {

/// A patch's header: its kind, then x, y, width and height (16-bit little-endian numbers).
inline std::vector<int> header(const std::string& patch) {
    std::vector<int> fields = {patch[0]};
    for (int i = 0; i < 4; ++i) {
        fields.push_back(static_cast<std::uint8_t>(patch[1 + 2 * i]) |
                         static_cast<std::uint8_t>(patch[2 + 2 * i]) << 8);
    }
    return fields;
}

/// A patch's picture.
inline std::optional<Image> decodePatch(const std::string& patch) {
    const auto file = std::filesystem::temp_directory_path() / "penwell-serve-patch.png";
    std::ofstream(file, std::ios::binary)
        .write(patch.data() + kPatchHeaderSize,
               static_cast<std::streamsize>(patch.size() - kPatchHeaderSize));
    std::optional<Image> decoded = cairo::readPng(file);
    std::filesystem::remove(file);
    return decoded;
}

/// A message the test expects the session to take: a refusal fails the test with its reason.
inline void taken(const MaybeFailure& refused) {
    if (refused) {
        ADD_FAILURE() << "refused: " << refused->message;
    }
}

/// The reason a message was refused, or "taken".
inline std::string refusal(const MaybeFailure& refused) {
    return refused ? refused->message : "taken";
}

class RecordingSink final : public Sink {
public:
    void sendText(std::string text) override { texts.push_back(std::move(text)); }
    void sendBinary(std::string bytes) override { binaries.push_back(std::move(bytes)); }
    void log(const std::string& line) override { logged.push_back(line); }
    void refuse(const std::string& reason) override { refused.push_back(reason); }
    std::vector<std::string> texts, binaries, logged, refused;
};

class ServeSession : public ::testing::Test {
protected:
    ServeSession() {
        settings.size = {200, 100};
        settings.smoothing = false;
        settings.samplesPerSession = 6;
        settings.services.resources = PENWELL_SOURCE_DIR "/demo-certificate";
        session = std::make_unique<SigningSession>(settings, loop, sink);
        loop->runPending();
    }
    /// A pointer message; answers the session's refusal, if any.
    MaybeFailure offer(const std::string& type, const std::string& samples,
                       const std::string& pointer = "pen") {
        return session->receive(R"({"type":")" + type + R"(","pointer":")" + pointer +
                                R"(","samples":)" + samples + "}");
    }
    /// A pointer message the session must take.
    void send(const std::string& type, const std::string& samples,
              const std::string& pointer = "pen") {
        taken(offer(type, samples, pointer));
    }
    /// A stroke of 22 samples across the pad at y, starting at `t` seconds: a signature.
    void stroke(double y, double t = 1.0, const std::string& pointer = "pen") {
        const auto at = [&](int i) {
            return "[[" + std::to_string(t + i * 0.004) + "," + std::to_string(10 + i * 5) + "," +
                   std::to_string(y) + ",0.5]]";
        };
        send("down", at(0), pointer);
        for (int i = 1; i <= 20; ++i) {
            send("move", at(i), pointer);
        }
        send("up", at(21), pointer);
    }

    PadSettings settings;
    std::shared_ptr<headless::ManualRunLoop> loop = std::make_shared<headless::ManualRunLoop>();
    RecordingSink sink;
    std::unique_ptr<SigningSession> session;
};

}  // namespace penwell::web
