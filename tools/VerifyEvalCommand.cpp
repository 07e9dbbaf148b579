// `penwell verify eval`: the verifier's error rates over a folder of signers, pen and finger,
// with the per-signer spread, the thresholds and a DET plot.

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/tools/ToolError.h"
#include "penwell/tools/VerifyCommand.h"
#include "penwell/tools/VerifyInput.h"
#include "penwell/verify/DetPlot.h"
#include "penwell/verify/Evaluation.h"
#include "penwell/verify/SetFigures.h"

namespace penwell::tools {

using namespace penwell::filesystem;

namespace {

using nlohmann::json;

std::string percent(double fraction) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f%%", fraction * 100.0);
    return buffer;
}

std::string threePlaces(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", value);
    return buffer;
}

const char* modeName(const verify::ModeReport& m) {
    return m.pressure ? "pen" : "finger";
}

/// The signature files of a folder, by name.
std::vector<std::filesystem::path> signatureFiles(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file() && isSignatureFile(it->path())) {
            files.push_back(it->path());
        }
    }
    if (error) {
        throw ToolError(folder.string() + ": " + error.message());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<verify::SignerSet> loadSigners(const VerifyEvalOptions& options) {
    std::error_code error;
    if (!std::filesystem::is_directory(options.folder, error)) {
        throw ToolError(options.folder.string() + ": not a folder");
    }
    std::vector<std::filesystem::path> folders;
    for (std::filesystem::directory_iterator it(options.folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_directory() && std::filesystem::is_directory(it->path() / "genuine")) {
            folders.push_back(it->path());
        }
    }
    if (error) {
        throw ToolError(options.folder.string() + ": " + error.message());
    }
    std::sort(folders.begin(), folders.end());
    std::vector<verify::SignerSet> signers;
    for (const auto& folder : folders) {
        verify::SignerSet set;
        set.name = folder.filename().string();
        for (const auto& f : signatureFiles(folder / "genuine")) {
            set.genuine.push_back(loadSignature(f, options.privateKey));
        }
        if (std::filesystem::is_directory(folder / "forgery")) {
            for (const auto& f : signatureFiles(folder / "forgery")) {
                set.forgeries.push_back(loadSignature(f, options.privateKey));
            }
        }
        signers.push_back(std::move(set));
    }
    return signers;
}

/// The per-signer equal error rates: their spread, and their thresholds' spread.
struct PerSigner {
    verify::Spread eer;
    verify::Spread threshold;
    double worst = 0.0;
    std::string worstName;
    std::size_t zero = 0;  ///< signers whose forgeries all scored above their genuine tests
};

PerSigner perSigner(const verify::ModeReport& m) {
    PerSigner p;
    std::vector<double> eers, thresholds;
    for (const auto& s : m.signers) {
        eers.push_back(s.skilled.eer);
        thresholds.push_back(s.skilled.threshold);
        p.zero += s.skilled.eer == 0.0 ? 1 : 0;
        if (s.skilled.eer >= p.worst) {
            p.worst = s.skilled.eer;
            p.worstName = s.name;
        }
    }
    auto spread = [](const std::vector<double>& v) {
        return verify::Spread{verify::percentile(v, 0.5), verify::percentile(v, 0.1),
                              verify::percentile(v, 0.9)};
    };
    p.eer = spread(eers);
    p.threshold = spread(thresholds);
    return p;
}

json detJson(const std::vector<verify::DetPoint>& points) {
    json out = json::array();
    for (const auto& p : points) {
        out.push_back({{"threshold", p.threshold},
                       {"falseAcceptance", p.falseAcceptance},
                       {"falseRejection", p.falseRejection}});
    }
    return out;
}

json spreadJson(const verify::Spread& s) {
    return {{"median", s.median}, {"p10", s.low}, {"p90", s.high}};
}

json modeJson(const verify::ModeReport& m) {
    json j{{"tests",
            {{"genuine", m.genuineTests}, {"skilled", m.skilledTests}, {"random", m.randomTests}}},
           {"defaultThreshold", m.defaultThreshold},
           {"random",
            {{"eer", m.randomGlobal.eer},
             {"threshold", m.randomGlobal.threshold},
             {"falseAcceptanceAtDefault", m.randomAtDefault.falseAcceptance},
             {"det", detJson(m.randomDet)}}},
           {"falseRejectionAtDefault", m.randomAtDefault.falseRejection}};
    if (m.skilled) {
        const PerSigner p = perSigner(m);
        json signers = json::array();
        for (const auto& s : m.signers) {
            signers.push_back(
                {{"name", s.name}, {"eer", s.skilled.eer}, {"threshold", s.skilled.threshold}});
        }
        j["skilled"] = {{"eer", m.skilledGlobal.eer},
                        {"threshold", m.skilledGlobal.threshold},
                        {"meanPerSignerEer", m.skilledPerSigner},
                        {"perSignerEer", spreadJson(p.eer)},
                        {"perSignerThreshold", spreadJson(p.threshold)},
                        {"falseAcceptanceAtDefault", m.skilledAtDefault.falseAcceptance},
                        {"signers", signers},
                        {"det", detJson(m.skilledDet)}};
    }
    return j;
}

void printDet(std::ostream& out, const char* what, const std::vector<verify::DetPoint>& points) {
    out << "  DET, " << what << " (false acceptance -> false rejection):";
    for (const auto& p : points) {
        out << ' ' << percent(p.falseAcceptance) << "->" << percent(p.falseRejection);
    }
    out << '\n';
}

void printMode(std::ostream& out, const verify::ModeReport& m) {
    out << modeName(m) << (m.pressure ? " (pressure used)" : " (pressure removed)")
        << ", tests: " << m.genuineTests << " genuine, " << m.skilledTests << " skilled, "
        << m.randomTests << " random\n";
    if (m.skilled) {
        const PerSigner p = perSigner(m);
        out << "  skilled forgeries, one global threshold: EER " << percent(m.skilledGlobal.eer)
            << " at score " << threePlaces(m.skilledGlobal.threshold) << '\n'
            << "  skilled forgeries, per-signer thresholds: mean EER "
            << percent(m.skilledPerSigner) << ", median " << percent(p.eer.median) << " [10th "
            << percent(p.eer.low) << ", 90th " << percent(p.eer.high) << "], worst "
            << percent(p.worst) << (p.worst > 0.0 ? " (" + p.worstName + ")" : "") << ", " << p.zero
            << " of " << m.signers.size() << " signers at 0\n"
            << "  per-signer thresholds: median " << threePlaces(p.threshold.median) << " [10th "
            << threePlaces(p.threshold.low) << ", 90th " << threePlaces(p.threshold.high) << "]\n";
    } else {
        out << "  skilled forgeries: none in the folder\n";
    }
    out << "  random forgeries, one global threshold: EER " << percent(m.randomGlobal.eer)
        << " at score " << threePlaces(m.randomGlobal.threshold) << '\n';
    out << "  at the default threshold " << threePlaces(m.defaultThreshold) << ": false rejection "
        << percent(m.randomAtDefault.falseRejection);
    if (m.skilled) {
        out << ", skilled accepted " << percent(m.skilledAtDefault.falseAcceptance);
    }
    out << ", random accepted " << percent(m.randomAtDefault.falseAcceptance) << '\n';
    if (m.skilled) {
        printDet(out, "skilled", m.skilledDet);
    }
    printDet(out, "random", m.randomDet);
}

void writePlot(const std::filesystem::path& file, const verify::EvaluationReport& r,
               std::size_t references) {
    std::vector<verify::DetSeries> series;
    for (const auto& m : r.modes) {
        const std::string mode = modeName(m);
        if (m.skilled) {
            series.push_back(
                {mode + ", skilled forgeries (EER " + percent(m.skilledGlobal.eer) + ")",
                 m.skilledCurve, m.skilledGlobal.eer});
        }
        series.push_back({mode + ", random forgeries (EER " + percent(m.randomGlobal.eer) + ")",
                          m.randomCurve, m.randomGlobal.eer});
    }
    const std::string svg =
        verify::detPlotSvg("penwell verify: " + std::to_string(r.signers) + " signers, " +
                               std::to_string(references) + " references, one global threshold",
                           series);
    StagedOutputs outputs;
    must(outputs.stage(file, asBytes(svg)));
    must(outputs.commitAll());
}

}  // namespace

int runVerifyEval(const VerifyEvalOptions& options, std::ostream& out, std::ostream& err) {
    const std::vector<verify::SignerSet> signers = loadSigners(options);
    verify::EvaluationOptions protocol;
    protocol.references = options.references;
    protocol.draws = options.draws;
    protocol.seed = options.seed;
    protocol.pen = !options.withoutPressure;
    const verify::EvaluationReport r = must(verify::evaluate(signers, protocol));
    for (const auto& line : r.skipped) {
        err << "penwell: skipped " << line << '\n';
    }
    if (options.det) {
        writePlot(*options.det, r, options.references);
    }
    if (options.json) {
        json j{
            {"signers", r.signers}, {"references", options.references}, {"draws", options.draws}};
        for (const auto& m : r.modes) {
            j[modeName(m)] = modeJson(m);
        }
        out << j.dump(2) << '\n';
        return 0;
    }
    out << r.signers << " signers, " << options.references << " references drawn " << options.draws
        << " times from each signer's first 10 genuine signatures\n";
    for (const auto& m : r.modes) {
        printMode(out, m);
    }
    if (options.det) {
        out << "DET plot: " << options.det->string() << '\n';
    }
    return 0;
}

}  // namespace penwell::tools
