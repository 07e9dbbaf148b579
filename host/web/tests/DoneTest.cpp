// What the page may change on the pad and what is the operator's, and how a mouse draws (the
// pointer kind the evidence records for each stroke, the browser tests read: serve.test.mjs).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "penwell/host/web/tests/SessionFixture.h"

namespace penwell::web {
namespace {

using ::testing::HasSubstr;

class ServeDone : public ServeSession {
protected:
    ServeDone() { settings.samplesPerSession = 1000; }
    void restart() {
        session = std::make_unique<SigningSession>(settings, loop, sink);
        loop->runPending();
    }
};

TEST_F(ServeDone, AMouseIsDrawnAsAFinger) {
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
