// Snapshots, the pad's whole picture on request: a large one sent a tile per task, so that
// other sessions' work runs in between; the picture of one moment; at most one asked and not
// yet sent; the next only after a pause; one painted at a time across sessions.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>

#include "penwell/host/web/tests/SessionFixture.h"

namespace penwell::web {
namespace {

/// The snapshot tiles among `patches` painted into one picture of `width` x `height`; the
/// tiles' boxes, in order, go to `boxes`.
Image assemble(const std::vector<std::string>& patches, int width, int height,
               std::vector<std::vector<int>>* boxes) {
    std::vector<std::uint32_t> canvas(static_cast<std::size_t>(width * height), 0);
    for (const std::string& patch : patches) {
        const std::vector<int> f = header(patch);
        if (f[0] != kSnapshotMessage) {
            continue;
        }
        boxes->push_back({f[1], f[2], f[3], f[4]});
        const std::optional<Image> tile = decodePatch(patch);
        EXPECT_TRUE(tile);
        tile->copyPixels({0, 0, f[3], f[4]}, canvas.data() + f[2] * width + f[1],
                         static_cast<std::size_t>(width));
    }
    return Image::fromPixels(width, height, canvas.data(), static_cast<std::size_t>(width));
}

std::vector<std::vector<int>> tilesOf(int width, int height, int tile) {
    std::vector<std::vector<int>> boxes;
    for (int y = 0; y < height; y += tile) {
        for (int x = 0; x < width; x += tile) {
            boxes.push_back({x, y, std::min(tile, width - x), std::min(tile, height - y)});
        }
    }
    return boxes;
}

TEST_F(ServeSession, ASnapshotIsThePictureOfOneMoment) {
    settings.samplesPerSession = 1000;
    // At 1 pixel per point the pad is one message; at 4 it goes a tile at a time.
    for (const int scale : {1, 4}) {
        session = std::make_unique<SigningSession>(settings, loop, sink);
        loop->runPending();
        taken(session->receive(R"({"type":"config","scale":)" + std::to_string(scale) + "}"));
        stroke(40);
        session->flush();
        loop->runPending();
        const int width = 200 * scale, height = 100 * scale;
        const Image before = session->shownImage({0, 0, width, height});
        sink.binaries.clear();

        taken(session->receive(R"({"type":"snapshot"})"));
        // What comes while the tiles go out waits for the last of them.
        stroke(80, 2.0);
        EXPECT_EQ(session->controller().lines().size(), scale == 1 ? 2u : 1u);
        loop->runPending();
        EXPECT_EQ(session->controller().lines().size(), 2u);

        std::vector<std::vector<int>> boxes;
        const Image snapshot = assemble(sink.binaries, width, height, &boxes);
        // Rows of tiles from the top, so the page knows the last by its corner.
        EXPECT_EQ(boxes, scale == 1 ? tilesOf(width, height, width)
                                    : tilesOf(width, height, scale * Image::kTileSize));
        EXPECT_TRUE(snapshot.samePixels(before)) << scale;
        EXPECT_FALSE(snapshot.samePixels(session->shownImage({0, 0, width, height})));
    }
}

TEST_F(ServeSession, OneSnapshotAtATimeAndAFewASecond) {
    const auto snapshots = [&] {
        return std::count_if(sink.binaries.begin(), sink.binaries.end(),
                             [](const std::string& b) { return b[0] == kSnapshotMessage; });
    };
    const auto offer = [&] { return session->receive(R"({"type":"snapshot"})"); };
    const auto ask = [&] { taken(offer()); };
    const auto refused = [&](const char* when) {
        EXPECT_EQ(refusal(offer()), "snapshot: asked again before the last one was sent") << when;
    };
    taken(session->receive(R"({"type":"config","scale":4})"));
    const long tiles = static_cast<long>(tilesOf(800, 400, 4 * Image::kTileSize).size());
    ask();
    refused("while it is sent");
    loop->runPending();
    EXPECT_EQ(snapshots(), tiles);

    ask();
    loop->runPending();
    loop->advance(kSnapshotInterval * 0.8);
    EXPECT_EQ(snapshots(), tiles) << "the next one waits its turn";
    refused("while it waits");
    loop->advance(10.0);
    EXPECT_EQ(snapshots(), 2 * tiles);

    // A page that came back sends again what it had not seen acknowledged: taken already.
    taken(session->receive(R"({"type":"snapshot","seq":7})"));
    taken(session->receive(R"({"type":"snapshot","seq":7})"));
    loop->advance(10.0);
    EXPECT_EQ(snapshots(), 3 * tiles);
}

TEST_F(ServeSession, AMessageHeldDuringASnapshotIsJudgedWhenItsTurnComes) {
    taken(session->receive(R"({"type":"config","scale":4})"));
    session->flush();
    loop->runPending();
    taken(session->receive(R"({"type":"snapshot"})"));
    send("move", "[[1,1,1,0]]");  // well formed, but no stroke is open
    EXPECT_TRUE(sink.refused.empty());
    loop->runPending();
    EXPECT_EQ(sink.refused, std::vector<std::string>{"move without a down"});

    loop->advance(10.0);  // the pause after that snapshot
    taken(session->receive(R"({"type":"snapshot"})"));
    for (std::size_t i = 0; i < kHeldMessages; ++i) {
        taken(session->receive(R"({"type":"undo"})"));
    }
    EXPECT_EQ(refusal(session->receive(R"({"type":"undo"})")),
              "more than 256 messages while a picture was being sent");
}

// The whole pad at 4 pixels per point (a new screen, a Clear, an Undo) is too much for one
// task: it goes a tile at a time like a snapshot, what comes meanwhile waits, and the state
// (which acknowledges the page's messages) follows the last tile.
TEST_F(ServeSession, ALargePatchIsSentTileByTile) {
    settings.samplesPerSession = 1000;
    session = std::make_unique<SigningSession>(settings, loop, sink);
    loop->runPending();
    stroke(40);
    taken(session->receive(R"({"type":"config","scale":4,"seq":1})"));
    sink.binaries.clear();
    sink.texts.clear();
    session->flush();
    EXPECT_TRUE(sink.binaries.empty());
    stroke(80, 2.0);
    session->flush();
    loop->runPending();
    std::vector<std::vector<int>> boxes;
    for (const std::string& patch : sink.binaries) {
        const std::vector<int> f = header(patch);
        EXPECT_EQ(f[0], kPatchMessage);
        boxes.push_back({f[1], f[2], f[3], f[4]});
    }
    EXPECT_EQ(boxes, tilesOf(800, 400, 4 * Image::kTileSize));
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_THAT(sink.texts[0], ::testing::HasSubstr(R"("samples":21,"seq":1,)"));
    // The stroke held meanwhile is on the pad now, and the next flush sends it.
    EXPECT_EQ(session->controller().lines().size(), 2u);
    session->flush();
    loop->runPending();
    EXPECT_EQ(sink.texts.size(), 2u);
}

/// A run loop that runs one posted task at a time and fires timers when told.
class SteppedLoop final : public RunLoop {
public:
    void post(std::function<void()> task) override { tasks_.push_back(std::move(task)); }
    std::shared_ptr<Timer> scheduleTimer(double, std::function<void()> action) override {
        auto timer = std::make_shared<Pending>();
        timer->action = std::move(action);
        timers_.push_back(timer);
        return timer;
    }
    bool step() {
        if (tasks_.empty()) {
            return false;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        task();
        return true;
    }
    void fireTimers() {
        for (auto& t : std::exchange(timers_, {})) {
            if (t->isValid()) {
                t->valid = false;
                t->action();
            }
        }
    }

private:
    struct Pending final : Timer {
        void invalidate() override { valid = false; }
        bool isValid() const override { return valid; }
        bool valid = true;
        std::function<void()> action;
    };
    std::deque<std::function<void()>> tasks_;
    std::vector<std::shared_ptr<Pending>> timers_;
};

// The controller may repaint the pad between two tiles (a smoothing redraw, on its own timer):
// the snapshot then starts again, so its tiles are of one picture. A pad large enough to be
// sent in tiles at 1 pixel per point, where the redraw changes the picture.
TEST_F(ServeSession, ASnapshotBegunBeforeARepaintStartsAgain) {
    settings.size = {640, 448};
    settings.smoothing = true;
    settings.samplesPerSession = 1000;
    auto stepped = std::make_shared<SteppedLoop>();
    session = std::make_unique<SigningSession>(settings, stepped, sink);
    while (stepped->step()) {  // the pad's first clear
    }
    for (const char* m :
         {R"({"type":"down","pointer":"touch","samples":[[1.0,20.5,60.5,0.5]]})",
          R"({"type":"move","pointer":"touch","samples":[[1.05,60.5,5.5,0.5],[1.1,100.5,90.5,0.5],[1.15,140.5,5.5,0.5]]})",
          R"({"type":"up","pointer":"touch","samples":[[1.2,180.5,60.5,0.5]]})"}) {
        taken(session->receive(m));
    }
    session->flush();  // the whole pad, a tile at a time
    while (stepped->step()) {
    }
    const Image raw = session->shownImage({0, 0, 640, 448});
    sink.binaries.clear();
    taken(session->receive(R"({"type":"snapshot"})"));
    ASSERT_TRUE(stepped->step());  // the first tile, of the unsmoothed stroke
    stepped->fireTimers();         // the smoothing redraw
    while (stepped->step()) {
    }
    const Image smoothed = session->shownImage({0, 0, 640, 448});
    ASSERT_FALSE(smoothed.samePixels(raw));
    std::vector<std::vector<int>> boxes;
    const Image snapshot = assemble(sink.binaries, 640, 448, &boxes);
    const auto tiles = tilesOf(640, 448, Image::kTileSize);
    ASSERT_EQ(boxes.size(), tiles.size() + 1);
    EXPECT_EQ(std::vector(boxes.begin() + 1, boxes.end()), tiles);
    EXPECT_TRUE(snapshot.samePixels(smoothed));
}

// However many pages ask, one snapshot is painted at a time: the others wait their turn, and a
// session that goes while it has the turn passes it on.
TEST_F(ServeSession, SnapshotsTakeTurnsAcrossSessions) {
    settings.snapshotTurns = std::make_shared<SnapshotTurns>();
    const std::size_t tiles = tilesOf(800, 400, 4 * Image::kTileSize).size();
    for (const bool leaves : {false, true}) {
        auto stepped = std::make_shared<SteppedLoop>();
        RecordingSink sinks[3];
        std::unique_ptr<SigningSession> sessions[3];
        for (int i = 0; i < 3; ++i) {
            sessions[i] = std::make_unique<SigningSession>(settings, stepped, sinks[i]);
            taken(sessions[i]->receive(R"({"type":"config","scale":4})"));
        }
        while (stepped->step()) {
        }
        for (auto& s : sessions) {
            taken(s->receive(R"({"type":"snapshot"})"));
        }
        // Which session sent each tile, a task at a time.
        std::string order;
        std::size_t sent[3] = {};
        for (int step = 0; step < 200 && stepped->step(); ++step) {
            for (int i = 0; i < 3; ++i) {
                for (; sent[i] < sinks[i].binaries.size(); ++sent[i]) {
                    if (sinks[i].binaries[sent[i]][0] == kSnapshotMessage) {
                        order += static_cast<char>('a' + i);
                    }
                }
            }
            if (leaves && order == "a") {
                sessions[0].reset();  // the page went with the turn
            }
        }
        const std::string expected =
            leaves ? "a" + std::string(tiles, 'b') + std::string(tiles, 'c')
                   : std::string(tiles, 'a') + std::string(tiles, 'b') + std::string(tiles, 'c');
        EXPECT_EQ(order, expected) << (leaves ? "the first leaves" : "all stay");
    }
}

}  // namespace
}  // namespace penwell::web
