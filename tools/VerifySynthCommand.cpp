// `penwell verify synth`: synthetic signers as traces, built to be as hard as a real tablet
// set, with the figures they match printed beside the set's own.

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/tools/ToolError.h"
#include "penwell/tools/VerifyCommand.h"
#include "penwell/verify/SetFigures.h"
#include "penwell/verify/Synthetic.h"

namespace penwell::tools {

using namespace penwell::filesystem;

namespace {

using nlohmann::json;

std::string figure(const verify::Spread& s, bool percent) {
    const double k = percent ? 100.0 : 1.0;
    const char* unit = percent ? "%" : "";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f%s [%.2f-%.2f%s]", s.median * k, unit, s.low * k,
                  s.high * k, unit);
    return buffer;
}

/// What the generated set measures, beside what the tablet set measured.
void printFigures(std::ostream& out, const verify::SetFigures& got, bool pressure) {
    const verify::SetFigures& want = verify::kTabletSetFigures;
    struct Row {
        const char* what;
        verify::Spread got, want;
        bool percent;
    };
    const Row rows[] = {
        {"genuine duration, coefficient of variation", got.durationCv, want.durationCv, true},
        {"genuine path length, coefficient of variation", got.pathCv, want.pathCv, true},
        {"genuine mean pressure, coefficient of variation", got.pressureCv, want.pressureCv, true},
        {"strokes", got.strokes, want.strokes, false},
        {"duration, seconds", got.duration, want.duration, false},
        {"forgery / genuine: strokes", got.strokeRatio, want.strokeRatio, false},
        {"forgery / genuine: path length", got.pathRatio, want.pathRatio, false},
        {"forgery / genuine: duration", got.durationRatio, want.durationRatio, false},
        {"forgery / genuine: speed", got.speedRatio, want.speedRatio, false},
        {"forgery / genuine: mean pressure", got.pressureRatio, want.pressureRatio, false},
    };
    char line[160];
    std::snprintf(line, sizeof line, "%-48s %-26s %s\n", "per signer, median [10th-90th]",
                  "this set", "tablet set");
    out << line;
    for (const Row& r : rows) {
        if (!pressure && (&r == &rows[2] || &r == &rows[9])) {
            continue;
        }
        std::snprintf(line, sizeof line, "%-48s %-26s %s\n", r.what,
                      figure(r.got, r.percent).c_str(), figure(r.want, r.percent).c_str());
        out << line;
    }
    std::snprintf(line, sizeof line, "%-48s %-26.2f %.2f\n", "pen-up share of the time, %",
                  got.penUpShare * 100.0, want.penUpShare * 100.0);
    out << line;
}

}  // namespace

int runVerifySynth(const VerifySynthOptions& options, std::ostream& out) {
    verify::SyntheticOptions synthetic;
    synthetic.signers = options.signers;
    synthetic.genuine = options.genuine;
    synthetic.forgeries = options.forgeries;
    synthetic.seed = options.seed;
    synthetic.pressure = !options.finger;
    const auto signers = verify::makeSyntheticSigners(synthetic);

    OutputFolder root = must(OutputFolder::create(options.out));
    StagedOutputs outputs;
    std::size_t files = 0;
    const char* kind = options.finger ? "finger" : "stylus";
    for (const auto& signer : signers) {
        for (const auto* list : {&signer.genuine, &signer.forgeries}) {
            for (const auto& signature : *list) {
                json events = json::array();
                for (const auto& stroke : signature.strokes) {
                    // One second of idle pad before the first stroke, as a person takes.
                    const double start =
                        1.0 + static_cast<double>(stroke.startMs.value_or(0)) / 1000.0;
                    for (std::size_t i = 0; i < stroke.samples.size(); ++i) {
                        const auto& s = stroke.samples[i];
                        json touch{{"t", start + static_cast<double>(s.ms) / 1000.0},
                                   {"x", s.x},
                                   {"y", s.y},
                                   {"type", kind}};
                        if (!options.finger) {
                            touch["force"] = s.pressure;
                        }
                        const char* type = i == 0 ? "began" : "moved";
                        events.push_back({{"type", type}, {"touches", json::array({touch})}});
                        if (i + 1 == stroke.samples.size()) {
                            events.push_back(
                                {{"type", "ended"}, {"touches", json::array({touch})}});
                        }
                    }
                }
                const json trace{{"version", 1},
                                 {"description", "Synthetic signature " + signature.name +
                                                     " (penwell verify synth --seed " +
                                                     std::to_string(options.seed) + ")"},
                                 {"pad", {{"width", 600}, {"height", 250}}},
                                 {"device", "pad"},
                                 {"events", events}};
                const std::filesystem::path target = options.out / (signature.name + ".json");
                must(makePrivateFolders(target.parent_path()));
                const std::string text = trace.dump() + '\n';
                must(outputs.stage(target, asBytes(text)));
                ++files;
            }
        }
    }
    must(outputs.commitAll());
    root.keep();
    out << options.out.string() << ": " << signers.size() << " signers, " << files << " traces\n";
    printFigures(out, verify::measureFigures(signers), !options.finger);
    return 0;
}

}  // namespace penwell::tools
