// Two hosts, one script: the desktop widget (events injected through Qt's window system) and
// the browser host's session (the page's messages, driven in-process) write the same decrypted
// record and the same PNG, byte for byte, and the evidence names the same pointer kinds. (What
// `penwell replay` records of a trace is pinned sample by sample in tests/tools/CliTest.cpp.)

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "Inject.h"
#include "Scripts.h"
#include "penwell/host/web/Session.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/headless/Headless.h"
#include "penwell/receiver/OpenEvidence.h"
#include "penwell/receiver/OpenSignature.h"
#include "support/CertificateFixtures.h"

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

Outputs opened(const fs::path& stem) {
    Outputs out;
    const auto signature =
        receiver::openSignature(kReceiverKey, stem.string() + ".data", stem.string() + ".key");
    EXPECT_TRUE(signature) << (signature ? "" : signature.error().message);
    if (signature) {
        out.record = signature->plaintext;
    }
    const auto read = [&](const char* extension) {
        return filesystem::readFile(stem.string() + extension, 1u << 24, extension).value();
    };
    const auto evidence =
        receiver::openEvidenceRecord(read(".evidence"), stem.string(), kReceiverKey, std::nullopt);
    EXPECT_TRUE(evidence) << (evidence ? "" : evidence.error().message);
    if (evidence) {
        out.kinds = evidence->payload.pointerKinds;
    }
    out.png = read(".png");
    return out;
}

Outputs throughWidget(const Script& script, const fs::path& folder) {
    PadOptions options;
    options.services.resources = kResources;
    PenwellWidget widget(options);
    widget.resize(600, 250);
    widget.show();
    widget.move(50, 50);
    QCoreApplication::processEvents();  // the pad's posted clear
    // Queued all at once before Qt looks at any, with a tilted pen: none may be merged into
    // another, and every down and move reaches the controller with its time and pressure.
    Injector(widget).play(script, 30, -20);
    QCoreApplication::processEvents();
    std::vector<_point> samples;
    for (const Stroke& s : widget.controller().lines()) {
        samples.insert(samples.end(), s.begin(), s.end());
    }
    EXPECT_EQ(samples, expectedSamples(script));
    const Result<host::SignatureBundle> bundle = widget.finish();
    EXPECT_TRUE(bundle) << (bundle ? "" : bundle.error().message);
    if (!bundle) {
        return {};
    }
    const Result<std::string> name = host::writeBundle(*bundle, folder);
    EXPECT_TRUE(name) << (name ? "" : name.error().message);
    return name ? opened(folder / *name) : Outputs{};
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
        if (const MaybeFailure refused = session.receive(Json{
                {"type", kTypes[static_cast<int>(e.phase)]},
                {"pointer", std::string(pointerKindName(script.pointer))},
                {"samples",
                 {{e.ms / 1000.0, e.x, e.y, e.pressure}}}}.dump())) {
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

TEST(Parity, BothHostsWriteTheSameRecordAndPicture) {
    const test::TempDir folders;
    for (const Script& script : parityScripts()) {
        SCOPED_TRACE(script.name);
        const fs::path folder = folders.path() / script.name;
        for (const char* host : {"qt", "web"}) {
            fs::create_directories(folder / host);
        }
        const Outputs qt = throughWidget(script, folder / "qt");
        const Outputs web = throughBrowserHost(script, folder / "web");
        ASSERT_FALSE(qt.record.empty());
        EXPECT_EQ(qt.record, web.record);
        EXPECT_TRUE(qt.png == web.png);
        EXPECT_EQ(qt.kinds, web.kinds);
        // Every down and move is in the record, and each stroke's kind is what drew it.
        const auto decoded = receiver::decodeRecord(qt.record, script.name);
        ASSERT_TRUE(decoded);
        EXPECT_EQ(receiver::sampleCount(*decoded), expectedSamples(script).size());
        EXPECT_EQ(qt.kinds, std::vector<PointerKind>(qt.kinds.size(), script.pointer));
    }
}

}  // namespace
}  // namespace penwell::qt::testing
