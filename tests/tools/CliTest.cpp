// The penwell program end to end: every command as a user runs it, with its exit code, its
// one-line errors on stderr and the files it leaves (or does not leave) behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "Support.h"
#include "penwell/host/common/Replay.h"
#include "penwell/platform/cairo/CairoGraphics.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/Record.h"

namespace penwell::tools {

using namespace penwell::filesystem;
using namespace penwell::host;
using namespace penwell::receiver;
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::listFolder;
using ::testing::MatchesRegex;
using testing::readText;
using ::testing::StartsWith;

using Result = testing::Run;
using testing::runProgram;

class CliTest : public ::testing::Test {
protected:
    Result penwell(const std::vector<std::string>& args) {
        return runProgram(PENWELL_TOOL, args, scratch_.path());
    }
    Result openssl(const std::vector<std::string>& args) {
        return runProgram("openssl", args, scratch_.path());
    }
    std::filesystem::path path(const std::string& name) const { return work_.path() / name; }

    /// Writes a sealed record for the receiver's key as data.bin, key.bin and key.pem.
    void sealRecord(const Bytes& record) {
        const auto sealed = testing::seal(record, testing::receiverCertificate().der);
        testing::writeFile(path("data.bin"), sealed.ciphertext);
        testing::writeFile(path("key.bin"), sealed.wrappedKey);
        testing::writeFile(path("key.pem"), testing::receiverCertificate().privateKeyPem);
    }

    std::vector<std::string> openArgs() const {
        return {"open",           "--private-key", path("key.pem"), "--data",
                path("data.bin"), "--key",         path("key.bin")};
    }

    /// Every file below the work folder with its contents ("/" for a folder, the size for a
    /// large file).
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(work_.path())) {
            files[entry.path().string()] = entry.is_directory()       ? "/"
                                           : !entry.is_regular_file() ? "?"
                                           : entry.file_size() > 65536
                                               ? std::to_string(entry.file_size()) + " bytes"
                                               : readText(entry);
        }
        return files;
    }

    /// A failing command: exit code `status`, exactly one line on stderr containing `message`,
    /// and every file in the work folder as it was.
    void expectFailure(const std::vector<std::string>& args, const std::string& message,
                       int status = 1) {
        const auto before = snapshot();
        const Result r = penwell(args);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_THAT(r.err, StartsWith("penwell: "));
        EXPECT_THAT(r.err, HasSubstr(message));
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(snapshot(), before) << "a failed command changed or left a file";
    }

    test::TempDir work_;
    test::TempDir scratch_;
};

/// What each use of the demo certificate prints, once.
const std::string kDemoWarning =
    "penwell: warning: sealing for the DEMO certificate (this build pins the demo certificate): "
    "its private key is public, never use it for real signatures\n";

const PointRecord kKnown = {
    {{10, 20, 500, 0}, {4294967293u, 21, 1000, 16}, {12, 22, 0, 33}},
    {{50, 60, 250, 0}},
};

TEST_F(CliTest, HelpAndUsageErrors) {
    // The usage line names the subcommand, so an unknown one cannot pass for it.
    const Result help = penwell({"cert", "new", "--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    EXPECT_THAT(help.out, HasSubstr("penwell cert new [OPTIONS]"));
    EXPECT_THAT(help.out, HasSubstr("traces and encrypted records of at most 32 MiB"));
    const Result version = penwell({"--version"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_THAT(version.out, MatchesRegex("penwell [0-9]+\\.[0-9]+\\.[0-9]+\n"));

    // A usage error exits 2 wherever it is found: by the parser, or by the command when options
    // do not go together or a value does not parse. Every command takes one --line-width range
    // and spells --smoothing alike. An --out folder's missing parent is a failure of its own.
    const std::string pdf = path("in.pdf"), trace = path("t.json");
    const struct {
        std::vector<std::string> args;
        std::string message;
        int status;
    } cases[] = {
        {{"frobnicate"}, "A subcommand is required", 2},
        {{"open", "--data", "x"}, "--private-key is required", 2},
        {{"replay", "t.json", "--data", "d"}, "--data requires --key", 2},
        {{"replay", "t.json", "--line-width", "nan"}, "--line-width: not a finite number: nan", 2},
        {{"open", "--private-key", "k", "--data", "d", "--key", "k", "--scale", "9"},
         "--scale: Value 9 not in range",
         2},
        {{"serve", "--line-width", "1001"}, "--line-width: Value 1001 not in range", 2},
        {{"open", "--private-key", "k", "--evidence", "e", "--smoothing", "maybe"},
         "--smoothing: maybe not in {on,off}",
         2},
        {{"serve", "--pad", "600,250"}, "--pad 600,250: expected WxH, each from 1 to 4096", 2},
        {{"serve", "--data", path("d"), "--retention", "0"},
         "--retention: Value 0 not in range",
         2},
        {{"serve", "--retention", "30"}, "--retention requires --data", 2},
        {{"pdf", "sign", pdf, path("out.pdf"), "--page", "1", "--rect", "300x100", "--trace", trace,
          "--sign-key", "k"},
         "--rect 300x100: expected X,Y,W,H in points",
         2},
        {{"pdf", "sign", pdf, path("out.pdf"), "--page", "1", "--rect", "1,2,3,4", "--sign-key",
          "k"},
         "give exactly one signature: --trace T, --evidence E or --data D --key K",
         2},
        {{"replay", trace, "--evidence", path("e")}, "--evidence: needs --document", 2},
        {{"replay", trace, "--document", pdf}, "--document: only goes with --evidence", 2},
        {{"open", "--private-key", "k"}, "open: needs --data and --key, or --evidence", 2},
        {{"cert", "new", "--out", path("missing/keys")},
         path("missing/keys").string() + ": cannot create the folder: " + path("missing").string() +
             " is not a folder (only the last folder of the path is made)",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.message);
        expectFailure(c.args, c.message, c.status);
    }
    EXPECT_FALSE(std::filesystem::exists(path("missing")));
}

TEST_F(CliTest, OpenSummaryAndPicture) {
    sealRecord(encodeRecord(kKnown));
    std::vector<std::string> args = openArgs();
    args.insert(args.end(), {"--png", path("ink.png"), "--svg", path("ink.svg"), "--scale", "2",
                             "--background"});
    const Result r = penwell(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("2 strokes, 4 samples"));
    EXPECT_THAT(r.out,
                HasSubstr("record 76 bytes, encrypted 80 bytes; key wrapped for RSA-2048 "
                          "(256 bytes)\n  stroke 1: 3 samples, 0.033 s, x -3..12, y 20..22"));
    const auto image = cairo::readPng(path("ink.png"));
    ASSERT_TRUE(image);
    // The receiver's pad reaches from the origin to the ink's far corner (50, 60) plus 20
    // points, drawn at 2 pixels per point: the stylus segment from (10, 20) to (-3, 21), 2
    // points wide, crosses x = 5 at y = 20.6, in the controller's blue on the pad's white.
    EXPECT_EQ(image->size(), (Size{2 * 70, 2 * 80}));
    EXPECT_EQ(image->pixel(10, 41), (Rgba{0, 0, 255, 255}));
    EXPECT_EQ(image->pixel(10, 140), (Rgba{255, 255, 255, 255}));
    EXPECT_THAT(readText(path("ink.svg")),
                HasSubstr(R"(width="70" height="80" viewBox="0 0 70 80")"));
}

TEST_F(CliTest, OpenRefusesBadInputAndLeavesNoPicture) {
    auto spoilData = [&](void (*change)(Bytes&)) {
        Bytes data = readFile(path("data.bin"), 1u << 20, "data").value();
        change(data);
        testing::writeFile(path("data.bin"), data);
    };
    auto sealSpoiled = [&](void (*change)(Bytes&)) {
        Bytes record = encodeRecord(kKnown);
        change(record);
        sealRecord(record);
    };
    const std::pair<std::string, std::function<void()>> cases[] = {
        {"key.bin: cannot be unwrapped with the private key in",
         [&] {
             testing::writeFile(path("key.pem"), makeSelfSignedCertificate(2048, 1).privateKeyPem);
         }},
        {"is not a whole number of 16-byte AES blocks",
         [&] { spoilData([](Bytes& d) { d.resize(d.size() - 5); }); }},
        // CBC: a bit flipped in the next-to-last block flips the padding length's top bit.
        {"does not decrypt with the unwrapped key",
         [&] { spoilData([](Bytes& d) { d[d.size() - 17] ^= 0x80; }); }},
        {"record corrupt: sample count of stroke 0 at byte 4 is 9",
         [&] { sealSpoiled([](Bytes& r) { r[4] = 9; }); }},
        {"record corrupt: 1 trailing bytes",
         [&] { sealSpoiled([](Bytes& r) { r.push_back(0); }); }},
    };
    std::vector<std::string> args = openArgs();
    args.insert(args.end(), {"--png", path("ink.png")});
    for (const auto& [message, spoil] : cases) {
        SCOPED_TRACE(message);
        sealRecord(encodeRecord(kKnown));
        spoil();
        expectFailure(args, message);
    }
}

TEST_F(CliTest, CertNewIsReadableByOpensslWithTheSameFingerprint) {
    const Result r = penwell({"cert", "new", "--out", path("cert")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(listFolder(path("cert")), ElementsAre("Penwell.dat", "private-key.pem"));

    // A certificate's fingerprint is the digest of its DER form: "<40 hex digits> *file".
    const std::string theirs =
        openssl({"dgst", "-sha1", "-r", path("cert/Penwell.dat")}).out.substr(0, 40);
    EXPECT_THAT(r.out, HasSubstr("SHA-1 fingerprint: " + theirs + "\n"));
    EXPECT_THAT(r.out, HasSubstr("-DPENWELL_PINNED_SHA1=" + theirs + " -DPENWELL_RESOURCE_FILE="));
    EXPECT_THAT(penwell({"cert", "show", path("cert/Penwell.dat")}).out,
                HasSubstr("SHA-1:       " + theirs));

    struct stat st {};
    ASSERT_EQ(::stat(path("cert/private-key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // openssl reads the certificate, and the key belongs to it.
    const Result certKey =
        openssl({"x509", "-inform", "DER", "-in", path("cert/Penwell.dat"), "-noout", "-pubkey"});
    const Result privKey = openssl({"pkey", "-in", path("cert/private-key.pem"), "-pubout"});
    ASSERT_EQ(certKey.status + privKey.status, 0) << certKey.err << privKey.err;
    EXPECT_EQ(certKey.out, privKey.out);
}

// ---- replay and demo ------------------------------------------------------------------------

/// Samples chosen to show every conversion of the record: a fractional and a negative x, a
/// y of -0.5, pressures in thousandths, per-stroke milliseconds, and a tap completed to a dot.
/// The pad sits 5 points right of the controller's origin, so touches are 5 points further.
const std::string kKnownTrace = R"({
  "version": 1,
  "pad": {"width": 200, "height": 120, "x": 5, "y": 0},
  "config": {"MinSigPoints": 0},
  "events": [
    {"type": "began", "touches": [{"t": 0.0, "x": 15.9, "y": 20.2, "force": 0.5, "type": "stylus"}]},
    {"type": "moved", "touches": [{"t": 0.0334, "x": 35.99, "y": -0.5, "force": 1.0, "type": "stylus"}],
     "coalesced": [{"t": 0.0125, "x": 1.3, "y": 25.5, "force": 0.75, "type": "stylus"},
                   {"t": 0.0334, "x": 35.99, "y": -0.5, "force": 1.0, "type": "stylus"}]},
    {"type": "ended", "touches": [{"t": 0.05, "x": 36, "y": 0, "force": 0.2, "type": "stylus"}]},
    {"type": "began", "touches": [{"t": 1.0, "x": 55.5, "y": 60.7}]},
    {"type": "ended", "touches": [{"t": 1.0404, "x": 55.5, "y": 60.7}]}
  ]
})";

const PointRecord kKnownRecord = {
    {{10, 20, 500, 0}, {4294967293u, 25, 750, 12}, {30, 0, 1000, 33}},
    {{50, 60, 0, 0}, {51, 60, 0, 40}, {50, 61, 0, 40}, {50, 60, 0, 40}},
};

/// A finger zig-zag with smoothing on and a pause after it, so the smoothing redraw fires.
std::string zigzagTrace() {
    std::string events = R"({"type": "began", "touches": [{"t": 0.0, "x": 20, "y": 60}]})";
    for (int i = 1; i <= 12; ++i) {
        events += R"(, {"type": "moved", "touches": [{"t": )" + std::to_string(i * 0.05) +
                  R"(, "x": )" + std::to_string(20 + i * 20) + R"(, "y": )" +
                  (i % 2 ? "20" : "100") + "}]}";
    }
    events += R"(, {"type": "ended", "touches": [{"t": 0.7, "x": 260, "y": 100}]},
                  {"type": "wait", "seconds": 2.0})";
    return R"({"version": 1, "pad": {"width": 300, "height": 120},
               "config": {"smoothing": true, "smoothingDelay": 0.5}, "events": [)" +
           events + "]}";
}

TEST_F(CliTest, ReplayThenOpenGivesTheTraceSamplesAfterTheRecordConversions) {
    testing::writeFile(path("known.json"), kKnownTrace);
    // Without --store the replay keeps its store in memory: the user's stays untouched.
    ::setenv("XDG_DATA_HOME", path("data-home").c_str(), 1);
    const Result replay = penwell({"replay", path("known.json"), "--data", path("known.data"),
                                   "--key", path("known.key"), "--resources",
                                   (kSource / "demo-certificate").string(), "--demo"});
    ::unsetenv("XDG_DATA_HOME");
    ASSERT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(replay.err, kDemoWarning);
    EXPECT_FALSE(std::filesystem::exists(path("data-home")));
    EXPECT_THAT(replay.out, HasSubstr("2 strokes, 7 samples, a signature"));

    const Result open = penwell(
        {"open", "--private-key", (kSource / "demo-certificate/demo-private-key.pem").string(),
         "--data", path("known.data"), "--key", path("known.key"), "--json"});
    ASSERT_EQ(open.status, 0) << open.err;
    const auto doc = nlohmann::json::parse(open.out);
    PointRecord received;
    for (const auto& stroke : doc["strokes"]) {
        RecordStroke s;
        for (const auto& sample : stroke) {
            s.push_back({sample["x"], sample["y"], sample["p"], sample["t"]});
        }
        received.push_back(s);
    }
    EXPECT_EQ(received, kKnownRecord);
    // The record's fields are unsigned; the page wants the positions they stand for.
    EXPECT_EQ(doc["strokes"][0][1]["signed_x"], -3);
    EXPECT_EQ(doc["strokes"][0][1]["signed_y"], 25);
    EXPECT_EQ(doc["record_bytes"], 4 + (4 + 3 * 16) + (4 + 4 * 16));
}

TEST_F(CliTest, OneSessionWritesEveryFormatAndTheReceiverDrawsTheSameInk) {
    testing::writeFile(path("known.json"), kKnownTrace);
    const Result r =
        penwell({"replay", path("known.json"), "--json", "--svg", path("s.svg"), "--pdf",
                 path("s.pdf"), "--png-cropped", path("c.png"), "--scale", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto summary = nlohmann::json::parse(r.out);
    const Trace trace = loadTrace(path("known.json")).value();
    Replay replay(trace, {});
    replay.run([] {});
    EXPECT_EQ(summary["strokes"], 2);
    EXPECT_EQ(summary["samples"], 7);
    // Every digit: the text summary rounds to four.
    EXPECT_EQ(summary["sigma"].get<double>(), replay.controller().calculateSigma());
    EXPECT_EQ(summary["sigma2"].get<double>(), replay.controller().calculateSigma2());
    // The points reach from (-3.7, -0.5) to (51.5, 61.7); widened by 20, cut at the pad.
    EXPECT_EQ(summary["crop"], nlohmann::json::parse(R"({"x":0,"y":0,"width":72,"height":82})"));
    const auto cropped = cairo::readPng(path("c.png"));
    ASSERT_TRUE(cropped);
    EXPECT_EQ(cropped->size(), (Size{3 * 72, 3 * 82}));
    EXPECT_THAT(readText(path("s.svg")), HasSubstr(R"(viewBox="0 0 200 120")"));
    EXPECT_THAT(readText(path("s.pdf")), StartsWith("%PDF-"));

    // Whole positions survive the record: the receiver's restored pad paints the sender's ink.
    testing::writeFile(path("zigzag.json"), zigzagTrace());
    const std::string demo = (kSource / "demo-certificate").string();
    ASSERT_TRUE(testing::succeeded(
        penwell({"replay", path("zigzag.json"), "--pad-png", path("smooth.png"), "--png",
                 path("full.png"), "--png-cropped", path("sent.png"), "--data", path("d.bin"),
                 "--key", path("k.bin"), "--resources", demo, "--demo"})));
    ASSERT_TRUE(testing::succeeded(
        penwell({"replay", path("zigzag.json"), "--smoothing", "off", "--pad-png",
                 path("plain.png"), "--png", path("crop.png"), "--crop"})));
    const Result open =
        penwell({"open", "--private-key", demo + "/demo-private-key.pem", "--data", path("d.bin"),
                 "--key", path("k.bin"), "--png", path("received.png"), "--crop", "--smoothing"});
    ASSERT_EQ(open.status, 0) << open.err;
    const auto sent = cairo::readPng(path("sent.png"));
    const auto received = cairo::readPng(path("received.png"));
    const auto smooth = cairo::readPng(path("smooth.png"));
    const auto plain = cairo::readPng(path("plain.png"));
    const auto full = cairo::readPng(path("full.png"));
    const auto crop = cairo::readPng(path("crop.png"));
    ASSERT_TRUE(sent && received && smooth && plain && full && crop);
    EXPECT_TRUE(sent->samePixels(*received));
    // The smoothing redraw after the pause repaints the pad.
    EXPECT_EQ(smooth->size(), (Size{300, 120}));
    EXPECT_FALSE(smooth->samePixels(*plain));
    // The exported image: ink alone on transparency, the whole pad or cropped to the ink.
    EXPECT_EQ(full->size(), (Size{300, 120}));
    EXPECT_EQ(full->pixel(0, 0).a, 0);
    EXPECT_LT(crop->width(), full->width());
}

TEST_F(CliTest, ReplayRefusesBadTracesAndLeavesNoOutput) {
    const std::pair<std::pair<std::string, std::string>, std::string> cases[] = {
        {{"\"force\": 0.75", "\"force\": true"}, "events[1].coalesced[0].force: expected a number"},
        {{"\"MinSigPoints\": 0", "\"MinSigPoints\": 12"},
         "not a signature yet: 2 strokes with 7 samples"},
        {{"\"x\": 1.3", "\"x\": 1e400"},
         "events[1].coalesced[0].x: number overflow parsing '1e400'"},
    };
    for (const auto& [edit, message] : cases) {
        std::string trace = kKnownTrace;
        trace.replace(trace.find(edit.first), edit.first.size(), edit.second);
        testing::writeFile(path("bad.json"), trace);
        expectFailure(
            {"replay", path("bad.json"), "--pad-png", path("pad.png"), "--png", path("sig.png"),
             "--data", path("d.bin"), "--key", path("k.bin"), "--store", path("store.sqlite"),
             "--resources", (kSource / "demo-certificate").string(), "--demo"},
            "bad.json: " + message);
    }
}

// Outputs that cannot all be written, or that are one file with another output or an input,
// and inputs that are not files of a sane size: one line, and every file as it was.
TEST_F(CliTest, RefusesUnusableFilesAndKeepsEveryOutputAsItWas) {
    testing::writeFile(path("t.json"), kKnownTrace);
    for (const char* old : {"old.png", "old.data", "old.key"}) {
        testing::writeFile(path(old), std::string("previous contents"));
    }
    std::filesystem::create_directories(path("dir"));
    ASSERT_EQ(penwell({"cert", "new", "--out", path("c"), "--bits", "1024"}).status, 0);
    std::filesystem::remove(path("c/private-key.pem"));
    std::filesystem::create_directories(path("c/private-key.pem"));
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    testing::writeFile(path("huge.json"), std::string());
    std::filesystem::resize_file(path("huge.json"), (32u << 20) + 1);

    const std::vector<std::string> record = {"--resources", (kSource / "demo-certificate").string(),
                                             "--demo"};
    auto replay = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"replay", path("t.json")});
        args.insert(args.end(), record.begin(), record.end());
        return args;
    };
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {replay({"--pad-png", path("old.png"), "--png", path("dir")}),
         "dir: cannot replace: is a folder"},
        // Replacing a deployed key pair by accident would orphan every record wrapped for it.
        {{"cert", "new", "--out", path("c"), "--bits", "1024"},
         "Penwell.dat: already exists (use --force to replace it)"},
        {{"cert", "new", "--out", path("c"), "--bits", "1024", "--force"},
         "private-key.pem: cannot replace: is a folder"},
        {replay({"--data", path("old.data"), "--key", path("old.data")}),
         "old.data: named by both --data and --key"},
        {replay({"--png", path("new.png"), "--pad-png", path("./new.png")}),
         "new.png: named by both --pad-png and --png"},
        {replay({"--png", path("t.json")}), "t.json: named by both TRACE and --png"},
        {{"open", "--private-key", path("old.key"), "--data", path("old.data"), "--key",
          path("old.png"), "--pdf", path("old.key")},
         "old.key: named by both --private-key and --pdf"},
        {{"replay", path("fifo")}, "fifo: cannot read: not a regular file"},
        {{"cert", "show", "/dev/zero"}, "/dev/zero: cannot read: not a regular file"},
        {{"replay", path("huge.json")}, "huge.json: too large for a trace (at most 32 MiB)"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        expectFailure(args, message);
    }
}

// A trace a toolkit would never deliver still replays, with one warning line for each oddity.
TEST_F(CliTest, ReplayWarnsOfPenDownAtTheEndAndTimeGoingBack) {
    std::string penDown = kKnownTrace;
    penDown.erase(penDown.rfind(",\n    {\"type\": \"ended\""), std::string::npos) += "]}";
    std::string backwards = kKnownTrace;
    backwards.replace(backwards.find("\"t\": 0.0, \"x\": 15.9"), 8, "\"t\": 0.02");
    const std::pair<std::string, std::string> cases[] = {
        {penDown, "ends with the pen down: the stroke begun at events[3] never ends"},
        {backwards, "events[1]: time goes back inside a stroke, from 0.02 s to 0.0125 s"},
    };
    for (const auto& [trace, warning] : cases) {
        testing::writeFile(path("odd.json"), trace);
        const Result r = penwell({"replay", path("odd.json")});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "penwell: warning: " + path("odd.json").string() + ": " + warning +
                             "; replayed as recorded\n");
    }
}

// Each names the file at fault, the store's or the certificate's, and what is wrong with it.
TEST_F(CliTest, ReplayAndDemoRefuseACertificateTheyCannotUse) {
    testing::writeFile(path("known.json"), kKnownTrace);
    ASSERT_EQ(penwell({"cert", "new", "--out", path("unpinned"), "--bits", "1024"}).status, 0);
    testing::writeFile(path("random.sqlite"), Bytes(4096, 0x5a));
    std::filesystem::create_directories(path("folder.sqlite"));
    const std::string demo = (kSource / "demo-certificate").string();
    // The store, the resource folder, the file at fault and what is wrong with it.
    const std::array<std::string, 4> cases[] = {
        {path("unpinned/store.sqlite"), path("unpinned"), path("unpinned/Penwell.dat"),
         "its SHA-1 is "},
        {path("random.sqlite"), demo, path("random.sqlite"),
         "cannot read the certificate store: file is not a database"},
        {path("folder.sqlite"), demo, path("folder.sqlite"),
         "is a folder, not a certificate store file"},
        {path("known.json/store.sqlite"), demo, path("known.json/store.sqlite"),
         "cannot read the certificate store: Not a directory"},
    };
    for (const auto& [store, resources, fault, cause] : cases) {
        expectFailure({"replay", path("known.json"), "--data", path("d.bin"), "--key",
                       path("k.bin"), "--store", store, "--resources", resources, "--demo"},
                      fault + ": the key could not be wrapped: " + cause);
    }
    std::filesystem::create_directories(path("empty"));
    expectFailure({"demo", "--out", path("out"), "--resources", path("empty"), "--demo"},
                  "no Penwell.dat there");
}

// An evidence record signed with a PKCS#12 operator key: opened under --trust with the right
// document, refused (and nothing drawn) for another document or another operator. The file's
// other certificate (standing in for an intermediate) travels in the signature.
TEST_F(CliTest, EvidenceSignedWithPkcs12OpensOnlyForItsDocumentAndOperator) {
    testing::writeFile(path("known.json"), kKnownTrace);
    testing::writeFile(path("doc.txt"), std::string("the contract"));
    testing::writeFile(path("other.txt"), std::string("another contract"));
    testing::writeFile(path("pass.txt"), std::string("s3cret\n"));
    const std::string demo = (kSource / "demo-certificate").string();
    for (const char* station : {"op", "stranger"}) {
        ASSERT_EQ(
            penwell({"cert", "new", "--operator", "--out", path(station), "--bits", "1024"}).status,
            0);
    }
    ASSERT_TRUE(
        testing::succeeded(openssl({"pkcs12", "-export", "-inkey", path("op/operator-key.pem"),
                                    "-in", path("op/operator-certificate.pem"), "-certfile",
                                    path("stranger/operator-certificate.pem"), "-passout",
                                    "pass:s3cret", "-out", path("op.p12")})));
    expectFailure({"replay", path("known.json"), "--evidence", path("e.der"), "--resources", demo},
                  "--evidence: needs --document", 2);
    const Result made =
        penwell({"replay", path("known.json"), "--evidence", path("e.der"), "--document",
                 path("doc.txt"), "--resources", demo, "--demo", "--sign-key", path("op.p12"),
                 "--sign-password-file", path("pass.txt")});
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_TRUE(testing::succeeded(
        openssl({"cms", "-verify", "-noverify", "-inform", "DER", "-in", path("e.der"), "-certsout",
                 path("carried.pem"), "-out", path("payload.der")})));
    const std::string carried = testing::readText(path("carried.pem"));
    EXPECT_THAT(carried, HasSubstr(testing::readText(path("op/operator-certificate.pem"))));
    EXPECT_THAT(carried, HasSubstr(testing::readText(path("stranger/operator-certificate.pem"))));
    const std::vector<std::string> open = {
        "open",  "--evidence", path("e.der"), "--private-key", demo + "/demo-private-key.pem",
        "--png", path("e.png")};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = open;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const Result opened = penwell(
        with({"--document", path("doc.txt"), "--trust", path("op/operator-certificate.pem")}));
    ASSERT_EQ(opened.status, 0) << opened.err;
    EXPECT_THAT(opened.out, HasSubstr("signed by \"CN=Penwell capture station\" (trusted)"));
    EXPECT_THAT(opened.out, HasSubstr("(matches)"));
    std::filesystem::remove(path("e.png"));
    expectFailure(with({"--document", path("other.txt")}), "signed for another document");
    expectFailure(with({"--trust", path("stranger/operator-certificate.pem")}),
                  "whom no trusted certificate vouches for");
    // Naming the receiver key's certificate: only that recipient is tried, so a certificate
    // the record is not sealed for cannot open it even with the right key.
    const Result named = penwell(with({"--private-key-cert", demo + "/Penwell.dat"}));
    ASSERT_EQ(named.status, 0) << named.err;
    std::filesystem::remove(path("e.png"));
    expectFailure(with({"--private-key-cert", path("op/operator-certificate.pem")}),
                  "cannot be opened with");
    expectFailure(with({"--private-key-cert", path("doc.txt")}), "not an X.509 certificate");
    expectFailure({"open", "--data", path("d"), "--key", path("k"), "--private-key",
                   demo + "/demo-private-key.pem", "--private-key-cert", demo + "/Penwell.dat"},
                  "--private-key-cert", 2);
    testing::writeFile(path("pass.txt"), std::string("wrong"));
    expectFailure(
        {"replay", path("known.json"), "--evidence", path("f.der"), "--no-document", "--resources",
         demo, "--demo", "--sign-key", path("op.p12"), "--sign-password-file", path("pass.txt")},
        "op.p12: cannot open the PKCS#12 file: wrong password");
}

TEST_F(CliTest, DemoWritesEveryExportAndVerifiesTheRoundTrip) {
    const Result r = penwell({"demo", "--out", path("out"), "--demo"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(
        listFolder(path("out")),
        ElementsAre("finger-signature-cropped.png", "finger-signature-pad.png",
                    "finger-signature.data", "finger-signature.key", "finger-signature.png",
                    "stylus-signature-cropped.png", "stylus-signature-pad.png",
                    "stylus-signature.data", "stylus-signature.key", "stylus-signature.png"));
    EXPECT_EQ(std::filesystem::file_size(path("out/stylus-signature.key")), 256u);
    // Both traces were opened again with the demo key and matched.
    EXPECT_THAT(r.out, MatchesRegex(".*round trip verified.*round trip verified.*"));
    EXPECT_THAT(r.out, HasSubstr("timing: sigma "));
}

}  // namespace
}  // namespace penwell::tools
