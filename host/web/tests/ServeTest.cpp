// penwell serve below the network: the message parser, the pointer mapping, a session driving
// a real controller and the patch encoding. The browser tests (browser/) cover the page and the
// server end to end.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include <nlohmann/json.hpp>

#include "penwell/host/web/tests/SessionFixture.h"

namespace penwell::web {
namespace {

TEST(ServeMessages, RefusesWithOneReason) {
    std::string many = R"({"type":"move","pointer":"pen","samples":[[0,0,0,0])";
    for (int i = 0; i < 256; ++i) {
        many += ",[0,0,0,0]";
    }
    // Each reason names the field at fault and what is wrong with it (what any JSON document
    // is refused for, the reader's own tests pin).
    const std::pair<std::string, std::string> cases[] = {
        {R"({"type":"dance"})", "type: unknown message type"},
        {R"({"type":"undo","x":1})", "x: unknown field"},
        {R"({"type":"down","pointer":"nose","samples":[[0,0,0,0]]})", "pointer:"},
        {R"({"type":"down","pointer":"pen","samples":[]})", "samples: empty"},
        {R"({"type":"up","pointer":"pen","samples":[[0,0,0,0],[0,0,0,0]]})", "exactly one"},
        {R"({"type":"move","pointer":"pen","samples":[[-1,0,0,0]]})",
         "samples[0][0]: expected a number from 0"},
        {R"({"type":"move","pointer":"pen","samples":[[0,2e6,0,0]]})",
         "samples[0][1]: expected a number from"},
        {R"({"type":"move","pointer":"pen","samples":[[0,0,"1",0]]})",
         "samples[0][2]: expected a number"},
        {R"({"type":"config","lineWidth":100})", "lineWidth: expected a number from"},
        {R"({"type":"config","scale":5})", "scale: expected a number from 1"},
        {R"({"type":"shown"})", "page: missing"},
        {R"({"type":"shown","page":1,"pages":2})", "pages: unknown field"},
        {many + "]}", "samples: 257 samples"},
        {std::string(70 * 1024, ' '), "message of 71680 bytes"},
    };
    for (const auto& [text, reason] : cases) {
        const Result<ClientMessage> parsed = parseClientMessage(text);
        ASSERT_FALSE(parsed) << text.substr(0, 80) << " was taken";
        EXPECT_THAT(parsed.error().message, ::testing::HasSubstr(reason)) << text.substr(0, 80);
        EXPECT_EQ(parsed.error().domain, kProtocolErrorDomain);
    }
}

// Several faults in one message: the first the reader meets is the refusal, whole and at its
// path. What follows it is never acted on: a sample count past the limit after an unknown
// field sizes nothing, and samples that are a string or too short are never indexed.
TEST(ServeMessages, TheFirstFaultIsTheRefusalWhateverFollowsIt) {
    std::string many;
    for (int i = 0; i < 300; ++i) {
        many += std::string(i == 0 ? "" : ",") + "[0,0,0,0]";
    }
    const std::pair<std::string, std::string> cases[] = {
        {R"([1, 2])", "expected an object"},
        {R"({"type":5,"seq":"x"})", "type: expected a string"},
        {R"({"type":"move","extra":1,"pointer":"pen","samples":[)" + many + "]}",
         "extra: unknown field (expected type, seq, pointer, samples)"},
        {R"({"type":"down","extra":1,"pointer":"nose","samples":"abc"})",
         "extra: unknown field (expected type, seq, pointer, samples)"},
        {R"({"type":"down","pointer":"nose","samples":"abc","seq":-1})",
         "pointer: expected stylus, finger, mouse or unknown"},
        {R"({"type":"move","pointer":"pen","samples":"abc","seq":-1})",
         "samples: expected an array"},
        {R"({"type":"move","pointer":"pen","samples":[[0,0,0],[1,2],"x"]})",
         "samples[0]: expected [t, x, y, pressure]"},
        {R"({"type":"move","pointer":"pen","samples":[[0,0,0,0],[0,"a",0,0],[0,0,"b"]],"seq":-1})",
         "samples[1][1]: expected a number"},
        {R"({"type":"config","smoothing":1,"lineWidth":100,"scale":2.5})",
         "smoothing: expected true or false"},
        {R"({"type":"config","scale":2.5,"seq":-1})", "scale: 2.5 is not a whole number"},
        {R"({"type":"shown","page":0,"seq":-5})",
         "page: expected an integer from 1 to 16777216, got 0"},
    };
    for (const auto& [text, message] : cases) {
        const Result<ClientMessage> parsed = parseClientMessage(text);
        ASSERT_FALSE(parsed) << text.substr(0, 80) << " was taken";
        EXPECT_EQ(parsed.error().message, message) << text.substr(0, 80);
        const auto colon = message.find(": ");
        EXPECT_EQ(parsed.error().where, colon == std::string::npos ? "" : message.substr(0, colon))
            << text.substr(0, 80);
    }
}

TEST_F(ServeSession, FeedsTheControllerAndPatchesWhatChanged) {
    session->flush();
    ASSERT_EQ(sink.binaries.size(), 1u);
    EXPECT_EQ(header(sink.binaries[0]), (std::vector<int>{kPatchMessage, 0, 0, 200, 100}));
    send("down", "[[1.0,10.5,10.5,0.5]]");
    send("move", "[[1.0041,140.5,20.5,0.25],[1.0082,150.5,30.5,0.25]]");
    send("up", "[[1.01,150.5,30.5,0]]");
    const auto& lines = session->controller().lines();
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 3u);
    EXPECT_EQ(lines[0][1], _point::initwith({140.5, 20.5}, 4, 1.0));
    EXPECT_EQ(lines[0][2], _point::initwith({150.5, 30.5}, 8, 1.0));

    session->flush();
    ASSERT_EQ(sink.binaries.size(), 2u);
    const std::string& patch = sink.binaries[1];
    // The stroke spans tiles 0..2 across and the top row: the patch is those tiles alone.
    EXPECT_EQ(header(patch), (std::vector<int>{kPatchMessage, 0, 0, 192, 64}));
    const std::optional<Image> decoded = decodePatch(patch);
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(decoded->samePixels(session->shownImage({0, 0, 192, 64})));
    EXPECT_EQ(decoded->pixel(0, 99), (Rgba{}));                    // outside the patch
    EXPECT_EQ(decoded->pixel(5, 50), (Rgba{255, 255, 255, 255}));  // the white pad
}

// A canvas made of the patches, painted where their headers say, is the server's picture
// after every flush at every scale: whatever changed, the patches cover it, and above scale 1
// each has the whole picture's pixels of its area, wherever it cuts the ink. Each step is a
// message, or "pause" (longer than the smoothing delay).
TEST_F(ServeSession, PatchesKeepTheCanvasThePicture) {
    settings.samplesPerSession = 1000;
    settings.smoothing = true;
    settings.operatorControls = true;
    const std::vector<std::string> cases[] = {
        // A pen so light that its ink rounds to nothing at 1x but shows at 2x and 3x.
        {R"({"type":"down","pointer":"pen","samples":[[1.0,20.5,20.5,0.001]]})",
         R"({"type":"move","pointer":"pen","samples":[[1.004,70.25,40.5,0.004],[1.008,130.5,63.75,0.004]]})",
         R"({"type":"up","pointer":"pen","samples":[[1.01,130.5,63.75,0]]})"},
        // A finger's wide arc: drawn plain, smoothed after the pause, and the smoothing then
        // switched off (the pad keeps its smoothed ink until it is drawn again).
        {R"({"type":"down","pointer":"mouse","samples":[[1.0,20.5,60.5,0]]})",
         R"({"type":"move","pointer":"mouse","samples":[[1.05,60.5,5.5,0],[1.1,100.5,90.5,0],[1.15,140.5,5.5,0],[1.2,180.5,60.5,0]]})",
         R"({"type":"up","pointer":"mouse","samples":[[1.21,180.5,60.5,0]]})", "pause",
         R"({"type":"config","smoothing":false})",
         R"({"type":"down","pointer":"mouse","samples":[[2.0,20.5,90.5,0]]})",
         R"({"type":"move","pointer":"mouse","samples":[[2.05,100.5,80.5,0]]})",
         R"({"type":"up","pointer":"mouse","samples":[[2.1,100.5,80.5,0]]})", "pause",
         R"({"type":"undo"})"},
    };
    for (const int scale : {1, 2, 3, 4}) {
        for (const auto& steps : cases) {
            session = std::make_unique<SigningSession>(settings, loop, sink);
            loop->runPending();
            taken(session->receive(R"({"type":"config","scale":)" + std::to_string(scale) + "}"));
            const int width = 200 * scale, height = 100 * scale;
            std::vector<std::uint32_t> canvas(static_cast<std::size_t>(width * height));
            std::size_t painted = sink.binaries.size();
            for (const std::string& step : steps) {
                if (step == "pause") {
                    loop->advance(2.0);
                } else {
                    taken(session->receive(step));
                }
                session->flush();
                loop->runPending();  // the tiles of a large patch, each a task of its own
                for (; painted < sink.binaries.size(); ++painted) {
                    const std::vector<int> f = header(sink.binaries[painted]);
                    const PixelRect area{f[1], f[2], f[3], f[4]};
                    session->shownImage(area).copyPixels(
                        {0, 0, area.width, area.height},
                        canvas.data() + static_cast<std::size_t>(area.y * width + area.x),
                        static_cast<std::size_t>(width));
                }
                const Image shown = Image::fromPixels(width, height, canvas.data(),
                                                      static_cast<std::size_t>(width));
                EXPECT_TRUE(shown.samePixels(session->shownImage({0, 0, width, height})))
                    << "scale " << scale << ", after " << step.substr(0, 40);
            }
        }
    }
}

TEST_F(ServeSession, RefusesOutOfOrderInput) {
    const std::pair<std::vector<std::pair<const char*, const char*>>, const char*> cases[] = {
        {{{"up", "[[1,1,1,0]]"}}, "up without a down"},
        {{{"down", "[[1,1,1,0]]"}, {"down", "[[2,1,1,0]]"}}, "down during a stroke"},
        {{{"down", "[[1,1,1,0]]"},
          {"move",
           "[[1,1,1,0],[1,1,1,0],[1,1,1,0],[1,1,1,0],[1,1,1,0],"
           "[1,1,1,0]]"}},
         "more than 6 samples on the pad"},
    };
    for (const auto& [messages, reason] : cases) {
        session = std::make_unique<SigningSession>(settings, loop, sink);
        MaybeFailure refused;
        for (const auto& [type, samples] : messages) {
            ASSERT_FALSE(refused) << reason << ": refused early: " << refused->message;
            refused = offer(type, samples);
        }
        EXPECT_EQ(refusal(refused), reason);
    }
}

TEST_F(ServeSession, TimeRunningBackNeverLosesASignature) {
    settings.samplesPerSession = 1000;
    // Each case: the messages, then each stroke's sample times in ms (x shows which samples).
    const std::pair<std::vector<std::pair<const char*, const char*>>, std::vector<std::vector<int>>>
        cases[] = {
            // Chromium's pointerup 5 us before the last coalesced move: taken at its time.
            {{{"down", "[[1.0,100,100,0.5]]"},
              {"move", "[[1.008,110,100,0.5],[1.016,120,100,0.5]]"},
              {"up", "[[1.015995,120,100,0]]"}},
             {{0, 8, 16}}},
            // Jitter inside a move: the sample keeps its place at its predecessor's time.
            {{{"down", "[[1.0,100,100,0.5]]"},
              {"move", "[[1.008,110,100,0.5],[1.0065,115,100,0.5],[1.016,120,100,0.5]]"},
              {"up", "[[1.02,120,100,0]]"}},
             {{0, 8, 8, 16}}},
            // A step back of half a second ends the stroke with what it had; the rest of it is
            // ignored, and the strokes before and after are whole.
            {{{"down", "[[1.0,10,10,0.5]]"},
              {"move", "[[1.01,20,10,0.5]]"},
              {"up", "[[1.02,20,10,0]]"},
              {"down", "[[2.0,100,100,0.5]]"},
              {"move", "[[2.008,110,100,0.5],[1.5,115,100,0.5]]"},
              {"move", "[[1.51,120,100,0.5]]"},
              {"up", "[[1.52,120,100,0]]"},
              {"down", "[[1.6,10,50,0.5]]"},
              {"move", "[[1.61,20,50,0.5]]"},
              {"up", "[[1.62,20,50,0]]"}},
             {{0, 10}, {0, 8}, {0, 10}}},
        };
    for (const auto& [messages, strokes] : cases) {
        session = std::make_unique<SigningSession>(settings, loop, sink);
        for (const auto& [type, samples] : messages) {
            send(type, samples);
        }
        std::vector<std::vector<int>> times;
        for (const Stroke& stroke : session->controller().lines()) {
            times.emplace_back();
            for (const _point& p : stroke) {
                times.back().push_back(static_cast<int>(p.Timestamp()));
            }
        }
        EXPECT_EQ(times, strokes) << messages.front().second;
    }
}

// Without --out, Done offers the files to the page and keeps the pad (the page may still lose
// them); what Done writes to --out and the cleared pad, the browser tests see (serve.test.mjs).
TEST_F(ServeSession, DoneOffersTheFilesToThePageAndKeepsThePad) {
    settings.samplesPerSession = 1000;
    session = std::make_unique<SigningSession>(settings, loop, sink);
    stroke(50);
    sink.logged.clear();
    taken(session->receive(R"({"type":"done"})"));
    const nlohmann::json reply = nlohmann::json::parse(sink.texts.back());
    EXPECT_EQ(reply["type"], "done");
    EXPECT_EQ(reply["ok"], true);
    // The down's sample and the twenty moves'; an up adds none (host::StrokeInput).
    EXPECT_EQ(reply["samples"], 21);
    EXPECT_TRUE(reply["sigma"].is_number() && reply["sigma2"].is_number()) << reply;
    std::vector<std::string> keys;
    for (const auto& [key, value] : reply.items()) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys,
              (std::vector<std::string>{"files", "ok", "samples", "sigma", "sigma2", "type"}));
    std::vector<std::string> names;
    for (const auto& file : reply["files"]) {
        names.push_back(file["name"]);
        EXPECT_FALSE(file["base64"].get<std::string>().empty()) << file["name"];
    }
    EXPECT_EQ(names, (std::vector<std::string>{"signature.data", "signature.key", "signature.png",
                                               "signature.evidence"}));
    // A PNG: its signature's first bytes, base64 ("\x89PNG\r\n" is "iVBORw0K").
    EXPECT_THAT(reply["files"][2]["base64"].get<std::string>(),
                ::testing::StartsWith("iVBORw0KGgo"));
    EXPECT_EQ(sink.logged, std::vector<std::string>{});
    EXPECT_FALSE(session->controller().lines().empty());
}

}  // namespace
}  // namespace penwell::web
