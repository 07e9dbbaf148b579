// Done as the signer and the operator see it: the page is told a code, which it words for the
// signer, while the log keeps the whole reason; the evidence says how the signature was drawn.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "penwell/host/web/tests/SessionFixture.h"
#include "penwell/receiver/OpenEvidence.h"

namespace penwell::web {
namespace {

using ::testing::HasSubstr;

class ServeDone : public ServeSession {
protected:
    ServeDone() {
        settings.samplesPerSession = 1000;
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }
    ~ServeDone() override { std::filesystem::remove_all(folder); }
    void restart() {
        session = std::make_unique<SigningSession>(settings, loop, sink);
        loop->runPending();
    }
    nlohmann::json done() {
        taken(session->receive(R"({"type":"done"})"));
        return nlohmann::json::parse(sink.texts.back());
    }

    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / "penwell-serve-done-test";
};

TEST_F(ServeDone, AMouseIsRecordedAsAMouseAndDrawnAsAFinger) {
    settings.out = folder;
    restart();
    stroke(30, 1.0, "mouse");
    stroke(70, 2.0, "touch");
    const nlohmann::json reply = done();
    ASSERT_EQ(reply["ok"], true) << reply;
    const auto opened = receiver::openEvidenceFile(
        folder / (reply["name"].get<std::string>() + ".evidence"),
        std::filesystem::path(PENWELL_SOURCE_DIR "/demo-certificate/demo-private-key.pem"),
        std::nullopt);
    ASSERT_TRUE(opened) << opened.error().message;
    EXPECT_EQ(opened->payload.pointerKinds,
              (std::vector<penwell::PointerKind>{penwell::PointerKind::mouse, penwell::PointerKind::finger}));

    // The ink of a mouse is a finger's: the same stroke either way gives the same pixels.
    std::vector<Image> pictures;
    for (const char* pointer : {"mouse", "touch"}) {
        restart();
        stroke(50, 1.0, pointer);
        pictures.push_back(session->shownImage({0, 0, 200, 100}));
    }
    EXPECT_TRUE(pictures[0].samePixels(pictures[1]));
    EXPECT_FALSE(pictures[0].samePixels(session->shownImage({0, 0, 1, 1})));
}

// Whatever went wrong, the page gets a code and no server path; the operator's log gets why.
TEST_F(ServeDone, TellsTheSignerACodeAndLogsTheReason) {
    const auto blocker = folder / "a-file";
    std::ofstream(blocker) << "not a folder";
    const auto noResources = folder / "empty";
    std::filesystem::create_directories(noResources);
    struct Case {
        const char* what;
        std::function<void(PadSettings&)> setUp;
        bool signs;
        const char* code;
        const char* logged;  // nullptr: nothing
    };
    const Case cases[] = {
        {"too short", [](PadSettings&) {}, false, kDoneTooShort, nullptr},
        {"out cannot take files",
         [&](PadSettings& s) { s.out = blocker / "signatures"; },
         true, kDoneNotSaved, "a-file/signatures/signature-"},
        {"no Penwell.dat", [&](PadSettings& s) { s.services.resources = noResources; }, true,
         kDoneNotSaved, "Penwell.dat"},
    };
    for (const Case& c : cases) {
        settings = PadSettings{};
        settings.size = {200, 100};
        settings.samplesPerSession = 1000;
        settings.services.resources = PENWELL_SOURCE_DIR "/demo-certificate";
        c.setUp(settings);
        sink.logged.clear();
        restart();
        if (c.signs) {
            stroke(50);
        } else {
            send("down", "[[1,10,10,0.5]]");
            send("up", "[[1.1,10,10,0.5]]");
        }
        const std::string reply = (done(), sink.texts.back());
        EXPECT_EQ(nlohmann::json::parse(reply),
                  (nlohmann::json{{"type", "done"}, {"ok", false}, {"code", c.code}}))
            << c.what;
        if (c.logged) {
            ASSERT_EQ(sink.logged.size(), 1u) << c.what;
            EXPECT_THAT(sink.logged[0], HasSubstr("Done saved nothing: ")) << c.what;
            EXPECT_THAT(sink.logged[0], HasSubstr(c.logged)) << c.what;
        } else {
            EXPECT_TRUE(sink.logged.empty()) << c.what;
        }
        // The signer keeps what is on the pad and may press Done again.
        EXPECT_EQ(session->controller().lines().size(), 1u) << c.what;
    }
    EXPECT_FALSE(std::filesystem::exists(blocker / "signatures"));
}

TEST_F(ServeDone, TheSettingsThatChangeTheOutputsAreTheOperators) {
    const std::pair<const char*, const char*> changes[] = {
        {R"({"type":"config","lineWidth":9})", "config: smoothing and lineWidth"},
        {R"({"type":"config","smoothing":false,"scale":2})", "config: smoothing and lineWidth"},
    };
    settings.smoothing = true;
    for (const bool operatorControls : {false, true}) {
        settings.operatorControls = operatorControls;
        for (const auto& [message, refusal] : changes) {
            restart();
            const MaybeFailure refused = session->receive(message);
            EXPECT_EQ(refused.has_value(), !operatorControls) << message;
            if (refused) {
                EXPECT_THAT(refused->message, HasSubstr(refusal));
            }
        }
        EXPECT_EQ(session->controller().smoothing(), !operatorControls);
    }
    // A screen's density is the page's to say.
    settings.operatorControls = false;
    restart();
    taken(session->receive(R"({"type":"config","scale":3})"));
    EXPECT_EQ(session->scale(), 3);
}

TEST_F(ServeDone, ADocumentShownNeedsADocument) {
    EXPECT_EQ(refusal(session->receive(R"({"type":"shown","page":1})")),
              "shown: no document is being signed");
}

}  // namespace
}  // namespace penwell::web
