// Three hosts, one script: the desktop widget (events injected through Qt's window system),
// the browser host's session (the page's messages, driven in-process) and `penwell replay` (a
// trace, through the tool) write the same decrypted record and the same PNG, byte for byte,
// and the evidence names the same pointer kinds.

#include <gtest/gtest.h>

#include <qpa/qwindowsysteminterface.h>
#include <QCoreApplication>
#include <QProcess>
#include <QWindow>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Inject.h"
#include "Scripts.h"
#include "penwell/host/web/Session.h"
#include "penwell/platform/headless/Headless.h"
#include "penwell/receiver/OpenEvidence.h"
#include "penwell/receiver/OpenSignature.h"

namespace penwell::qt::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

const fs::path kResources = PENWELL_SOURCE_DIR "/demo-certificate";
const KeyLocation kReceiverKey{kResources / "demo-private-key.pem"};

struct Outputs {
    Bytes record;  ///< decrypted
    Bytes png;
    std::vector<PointerKind> kinds;  ///< the evidence's, one per stroke
};

Bytes readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Outputs opened(const fs::path& stem) {
    Outputs out;
    const auto signature =
        receiver::openSignature(kReceiverKey, stem.string() + ".data", stem.string() + ".key");
    EXPECT_TRUE(signature) << (signature ? "" : signature.error().message);
    if (signature) {
        out.record = signature->plaintext;
    }
    const auto evidence = receiver::openEvidenceRecord(readBytes(stem.string() + ".evidence"),
                                                       stem.string(), kReceiverKey, std::nullopt);
    EXPECT_TRUE(evidence) << (evidence ? "" : evidence.error().message);
    if (evidence) {
        out.kinds = evidence->payload.pointerKinds;
    }
    out.png = readBytes(stem.string() + ".png");
    return out;
}

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = fs::temp_directory_path() /
                  ("penwell-qt-parity-" + std::to_string(QCoreApplication::applicationPid()));
        fs::remove_all(scratch);
        fs::create_directories(scratch);
    }
    void TearDown() override { fs::remove_all(scratch); }
    fs::path scratch;
};

Outputs throughWidget(const Script& script, const fs::path& folder) {
    PadOptions options;
    options.services.resources = kResources;
    PenwellWidget widget(options);
    widget.resize(600, 250);
    widget.show();
    widget.move(50, 50);
    QCoreApplication::processEvents();  // the pad's posted clear
    Injector inject(widget);
    QWindowSystemInterface::setSynchronousWindowSystemEvents(false);
    for (const ScriptEvent& e : script.events) {
        const QPointF at(e.x, e.y);
        const bool up = e.phase == host::StrokePhase::up;
        switch (script.pointer) {
            case PointerKind::stylus:
                inject.pen(!up, e.ms, at, e.pressure);
                break;
            case PointerKind::finger:
                inject.touch(e.phase == host::StrokePhase::down ? QEventPoint::State::Pressed
                             : up                               ? QEventPoint::State::Released
                                                                : QEventPoint::State::Updated,
                             e.ms, at, e.pressure);
                break;
            case PointerKind::mouse:
            case PointerKind::unknown:
                inject.mouse(e.phase == host::StrokePhase::down ? QEvent::MouseButtonPress
                             : up                               ? QEvent::MouseButtonRelease
                                                                : QEvent::MouseMove,
                             e.ms, at);
                break;
        }
    }
    QWindowSystemInterface::flushWindowSystemEvents();
    QWindowSystemInterface::setSynchronousWindowSystemEvents(true);
    QCoreApplication::processEvents();
    const Result<host::SignatureBundle> bundle = widget.finish();
    EXPECT_TRUE(bundle) << (bundle ? "" : bundle.error().message);
    if (!bundle) {
        return {};
    }
    const fs::path stem = folder / "qt";
    writeBytes(stem.string() + ".data", bundle->data);
    writeBytes(stem.string() + ".key", bundle->key);
    writeBytes(stem.string() + ".png", bundle->png);
    writeBytes(stem.string() + ".evidence", bundle->evidence);
    return opened(stem);
}

class Replies final : public web::Sink {
public:
    void sendText(std::string text) override { texts.push_back(std::move(text)); }
    void sendBinary(std::string) override {}
    void refuse(const std::string& reason) override { ADD_FAILURE() << "refused: " << reason; }
    std::vector<std::string> texts;
};

Outputs throughBrowserHost(const Script& script, const fs::path& folder) {
    static constexpr const char* kTypes[] = {"down", "move", "up", "cancel"};
    web::PadSettings settings;
    settings.services.resources = kResources;
    settings.out = folder;
    auto loop = std::make_shared<headless::ManualRunLoop>();
    Replies replies;
    web::SigningSession session(settings, loop, replies);
    loop->runPending();
    for (const ScriptEvent& e : script.events) {
        if (const MaybeFailure refused =
                session.receive(Json{{"type", kTypes[static_cast<int>(e.phase)]},
                                     {"pointer", std::string(pointerKindName(script.pointer))},
                                     {"samples", {{e.ms / 1000.0, e.x, e.y, e.pressure}}}}
                                    .dump())) {
            ADD_FAILURE() << "refused: " << refused->message;
        }
        loop->runPending();
    }
    if (const MaybeFailure refused = session.receive(R"({"type":"done"})")) {
        ADD_FAILURE() << "refused: " << refused->message;
    }
    const Json reply = Json::parse(replies.texts.back());
    EXPECT_EQ(reply.value("ok", false), true) << reply.dump();
    return opened(folder / reply.value("name", std::string("missing")));
}

Outputs throughReplay(const Script& script, const fs::path& folder) {
    static constexpr const char* kEvents[] = {"began", "moved", "ended", "cancelled"};
    Json events = Json::array();
    for (const ScriptEvent& e : script.events) {
        const Touch t = host::touchFor(script.pointer, {e.ms / 1000.0, e.x, e.y, e.pressure});
        const std::string type(pointerKindName(pointerKindOf(t.type)));
        events.push_back({{"type", kEvents[static_cast<int>(e.phase)]},
                          {"touches",
                           {{{"t", t.timestamp},
                             {"x", t.location.x},
                             {"y", t.location.y},
                             {"force", t.force},
                             {"type", type}}}}});
    }
    // The browser host's and the widget's pad: 600 x 250, smoothing on, 3 points of ink.
    const Json trace{{"version", 1},
                     {"pad", {{"width", 600}, {"height", 250}}},
                     {"device", "phone"},
                     {"orientation", "portrait"},
                     {"config", {{"smoothing", true}, {"lineWidth", 3.0}}},
                     {"events", events}};
    const fs::path file = folder / "trace.json";
    std::ofstream(file) << trace.dump();
    const fs::path stem = folder / "replay";
    QProcess tool;
    tool.start(PENWELL_TOOL,
               {"replay", QString::fromStdString(file.string()), "--demo", "--resources",
                QString::fromStdString(kResources.string()), "--data",
                QString::fromStdString(stem.string() + ".data"), "--key",
                QString::fromStdString(stem.string() + ".key"), "--png-cropped",
                QString::fromStdString(stem.string() + ".png"), "--evidence",
                QString::fromStdString(stem.string() + ".evidence"), "--no-document"});
    EXPECT_TRUE(tool.waitForFinished(60000));
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    return opened(stem);
}

/// Where two records first differ, for the failure message: "stroke S sample I: ..." .
std::string firstDifference(const Bytes& a, const Bytes& b) {
    const auto left = receiver::decodeRecord(a, "a");
    const auto right = receiver::decodeRecord(b, "b");
    if (!left || !right) {
        return "undecodable";
    }
    for (std::size_t s = 0; s < std::max(left->size(), right->size()); ++s) {
        if (s >= left->size() || s >= right->size()) {
            return "stroke " + std::to_string(s) + " is missing on one side";
        }
        const auto& l = (*left)[s];
        const auto& r = (*right)[s];
        for (std::size_t i = 0; i < std::max(l.size(), r.size()); ++i) {
            if (i >= l.size() || i >= r.size()) {
                return "stroke " + std::to_string(s) + ": " + std::to_string(l.size()) + " vs " +
                       std::to_string(r.size()) + " samples";
            }
            if (!(l[i] == r[i])) {
                const auto text = [](const receiver::RecordSample& x) {
                    return "(" + std::to_string(x.x) + "," + std::to_string(x.y) + " p" +
                           std::to_string(x.p) + " t" + std::to_string(x.t) + ")";
                };
                return "stroke " + std::to_string(s) + " sample " + std::to_string(i) + ": " +
                       text(l[i]) + " vs " + text(r[i]);
            }
        }
    }
    return "the same samples";
}

TEST_F(Scratch, ThreeHostsWriteTheSameRecordAndPicture) {
    for (const Script& script : parityScripts()) {
        SCOPED_TRACE(script.name);
        const fs::path folder = scratch / script.name;
        for (const char* host : {"qt", "web", "replay"}) {
            fs::create_directories(folder / host);
        }
        const Outputs qt = throughWidget(script, folder / "qt");
        const Outputs web = throughBrowserHost(script, folder / "web");
        const Outputs replay = throughReplay(script, folder / "replay");
        ASSERT_FALSE(qt.record.empty());
        EXPECT_TRUE(qt.record == web.record) << firstDifference(qt.record, web.record);
        EXPECT_TRUE(qt.record == replay.record) << firstDifference(qt.record, replay.record);
        EXPECT_TRUE(qt.png == web.png);
        EXPECT_TRUE(qt.png == replay.png);
        EXPECT_EQ(qt.kinds, web.kinds);
        EXPECT_EQ(qt.kinds, replay.kinds);
        // Every down and move is in the record, and each stroke's kind is what drew it.
        const auto decoded = receiver::decodeRecord(qt.record, script.name);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(receiver::sampleCount(*decoded), recordedSamples(script));
        EXPECT_EQ(qt.kinds, std::vector<PointerKind>(qt.kinds.size(), script.pointer));
    }
}

}  // namespace
}  // namespace penwell::qt::testing
