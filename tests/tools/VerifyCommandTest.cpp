// penwell verify through the receiver's side: references enrolled from encrypted records
// opened with the demo receiver key, then queries (records and evidence) checked against it.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Support.h"
#include "penwell/capture/Sample.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/Record.h"
#include "penwell/receiver/draw/RestoredRecord.h"
#include "penwell/secure/Evidence.h"
#include "penwell/tools/ToolError.h"
#include "penwell/tools/VerifyCommand.h"
#include "penwell/verify/Synthetic.h"

namespace penwell::tools {

using namespace penwell::filesystem;
using namespace penwell::receiver;
namespace {

TEST(VerifyCommand, EnrolFromRecordsThenCheck) {
    test::TempDir folder;
    const auto privateKey = kSource / "demo-certificate/demo-private-key.pem";
    const Bytes certificate =
        readFile(kSource / "demo-certificate/Penwell.dat", 1 << 20, "").value();
    verify::SyntheticOptions synthetic;
    synthetic.signers = 2;
    synthetic.genuine = 7;
    synthetic.forgeries = 0;
    synthetic.seed = 3;
    const auto signers = verify::makeSyntheticSigners(synthetic);
    // What the component exports for these strokes, sealed for the demo receiver.
    auto linesOf = [](const verify::Signature& s) {
        std::vector<penwell::Stroke> lines;
        for (const auto& stroke : s.strokes) {
            penwell::Stroke& line = lines.emplace_back();
            for (const auto& p : stroke.samples) {
                line.push_back(_point::initwith({p.x, p.y}, p.ms, p.pressure));
            }
        }
        return lines;
    };
    auto seal = [&](const verify::Signature& s, const std::string& name) {
        const std::vector<penwell::Stroke> lines = linesOf(s);
        const auto sealed = testing::seal(encodeRecord(recordOf(lines)), certificate);
        testing::writeFile(folder.path() / (name + ".data"), sealed.ciphertext);
        testing::writeFile(folder.path() / (name + ".key"), sealed.wrappedKey);
        return folder.path() / (name + ".data");
    };
    // ... and as an evidence record, made by a controller the strokes are restored into.
    setenv("PENWELL_RESOURCES", (kSource / "demo-certificate").c_str(), 1);
    const auto evidence = folder.path() / "same.evidence";
    withRestoredController(recordOf(linesOf(signers[0].genuine[6])), "same", {},
                           [&](PenwellViewController& controller) {
                               testing::writeFile(evidence, *controller.exportEvidence({}));
                           });
    VerifyEnrolOptions enrol;
    enrol.out = folder.path() / "signer.tpl";
    enrol.privateKey = privateKey;
    for (std::size_t i = 0; i < 5; ++i) {
        enrol.references.push_back(seal(signers[0].genuine[i], "ref" + std::to_string(i)));
    }
    std::ostringstream out;
    ASSERT_EQ(runVerifyEnrol(enrol, out), 0);
    EXPECT_EQ(std::filesystem::status(enrol.out).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    struct Case {
        const char* what;
        std::filesystem::path query;
        bool withKey;
        int code;
        const char* error;
    };
    const Case cases[] = {
        {"the signer again", seal(signers[0].genuine[6], "same"), true, 0, ""},
        {"another signer", seal(signers[1].genuine[0], "other"), true, 1, ""},
        {"the signer's evidence record", evidence, true, 0, ""},
        {"a record without the key", folder.path() / "same.data", false, 2, "--private-key"},
        {"evidence without the key", evidence, false, 2, "--private-key"},
        {"not a signature file", enrol.out, true, 2, "not a signature file"},
    };
    for (const Case& c : cases) {
        VerifyCheckOptions check;
        check.templateFile = enrol.out;
        check.query = c.query;
        if (c.withKey) {
            check.privateKey = privateKey;
        }
        std::ostringstream answer, err;
        EXPECT_EQ(runVerifyCheck(check, answer, err), c.code) << c.what << ": " << err.str();
        EXPECT_NE(err.str().find(c.error), std::string::npos) << c.what << ": " << err.str();
    }

    // The same references in a template of version 1: read by measuring them again, the same
    // verdict, and a line that says so and what to do.
    const Bytes written = readFile(enrol.out, 1 << 26, "").value();
    std::string text(written.begin(), written.end());
    text.replace(0, text.find('\n'), "penwell-verify-template 1");
    text.erase(text.find("distances "));
    text += "distances\n0 1 1 1 1\n1 0 1 1 1\n1 1 0 1 1\n1 1 1 0 1\n1 1 1 1 0\nend\n";
    testing::writeFile(folder.path() / "old.tpl", text);
    VerifyCheckOptions check;
    check.templateFile = folder.path() / "old.tpl";
    check.query = folder.path() / "same.data";
    check.privateKey = privateKey;
    std::ostringstream answer, err;
    EXPECT_EQ(runVerifyCheck(check, answer, err), 0) << err.str();
    EXPECT_EQ(err.str(), "penwell: note: " + check.templateFile.string() +
                             " is a version 1 template, read by measuring its references again; "
                             "enrol them again to write version 2\n");
}

TEST(VerifyCommand, SynthThenEvaluatePenAndFingerWithAPlot) {
    test::TempDir folder;
    VerifySynthOptions synth;
    synth.out = folder.path() / "set";
    synth.signers = 3;
    synth.genuine = 7;
    synth.forgeries = 2;
    synth.seed = 4;
    std::ostringstream made;
    ASSERT_EQ(runVerifySynth(synth, made), 0);
    // The traces, and the figures the set matches beside the tablet set's.
    EXPECT_NE(made.str().find(": 3 signers, 27 traces\n"), std::string::npos) << made.str();
    EXPECT_NE(made.str().find("forgery / genuine: duration"), std::string::npos) << made.str();
    EXPECT_NE(made.str().find("1.28 [1.06-1.72]"), std::string::npos) << made.str();
    EXPECT_TRUE(std::filesystem::is_regular_file(synth.out / "s03" / "forgery" / "02.json"));

    VerifyEvalOptions eval;
    eval.folder = synth.out;
    eval.draws = 1;
    eval.det = folder.path() / "det.svg";
    std::ostringstream text, err;
    ASSERT_EQ(runVerifyEval(eval, text, err), 0) << err.str();
    for (const char* line :
         {"pen (pressure used), tests: 6 genuine, 6 skilled, 6 random",
          "finger (pressure removed), tests: 6 genuine, 6 skilled, 6 random",
          "skilled forgeries, per-signer thresholds: mean EER", "per-signer thresholds: median",
          "at the default threshold", "DET plot: "}) {
        EXPECT_NE(text.str().find(line), std::string::npos) << line << "\n" << text.str();
    }
    std::ifstream plot(*eval.det);
    const std::string svg((std::istreambuf_iterator<char>(plot)), {});
    EXPECT_EQ(svg.rfind("<svg", 0), 0u);
    EXPECT_NE(svg.find("pen, skilled forgeries (EER "), std::string::npos);
    EXPECT_NE(svg.find("finger, random forgeries (EER "), std::string::npos);

    // As JSON, and for fingers only.
    eval.det.reset();
    eval.json = true;
    eval.withoutPressure = true;
    std::ostringstream json;
    ASSERT_EQ(runVerifyEval(eval, json, err), 0);
    const auto j = nlohmann::json::parse(json.str());
    EXPECT_FALSE(j.contains("pen"));
    EXPECT_EQ(j["finger"]["tests"]["skilled"], 6);
    EXPECT_EQ(j["finger"]["skilled"]["signers"].size(), 3u);
    const double eer = j["finger"]["skilled"]["eer"];
    EXPECT_TRUE(eer >= 0.0 && eer <= 1.0);

    // A signature that cannot be read stops the evaluation, naming it.
    std::ofstream(synth.out / "s02" / "genuine" / "03.json") << "{";
    EXPECT_THROW(
        {
            try {
                runVerifyEval(eval, json, err);
            } catch (const ToolError& e) {
                EXPECT_NE(std::string(e.what()).find("03.json"), std::string::npos) << e.what();
                throw;
            }
        },
        ToolError);
}

}  // namespace
}  // namespace penwell::tools
