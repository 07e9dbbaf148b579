#include "tools/VerifyCommand.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/filesystem/StagedFile.h"
#include "platform/openssl/OpenSslCms.h"
#include "receiver/Sealed.h"
#include "tools/Commands.h"
#include "tools/ToolError.h"
#include "tools/VerifyInput.h"
#include "verify/Evaluation.h"
#include "verify/Synthetic.h"
#include "verify/Template.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;

namespace {

using nlohmann::json;

template <class T>
T valueOr(verify::Outcome<T> outcome) {
    if (!outcome) {
        throw ToolError(outcome.failure().message);
    }
    return std::move(outcome).value();
}

std::string percent(double fraction) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f%%", fraction * 100.0);
    return buffer;
}

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    return buffer;
}

std::string pressureNote(bool used) {
    return used ? "pressure used" : "without pressure";
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

json detJson(const std::vector<verify::DetPoint>& points) {
    json out = json::array();
    for (const auto& p : points) {
        out.push_back({{"threshold", p.threshold},
                       {"falseAcceptance", p.falseAcceptance},
                       {"falseRejection", p.falseRejection}});
    }
    return out;
}

void printDet(std::ostream& out, const char* what, const std::vector<verify::DetPoint>& points) {
    out << "DET, " << what << " (false acceptance -> false rejection):";
    for (const auto& p : points) {
        out << ' ' << percent(p.falseAcceptance) << "->" << percent(p.falseRejection);
    }
    out << '\n';
}

}  // namespace

int runVerifyEnrol(const VerifyEnrolOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<NamedFile> inputs;
    for (const auto& r : options.references) {
        inputs.push_back({"a reference", r});
    }
    for (const auto& r : options.recipients) {
        inputs.push_back({"--recipient", r});
    }
    must(requireDistinctFiles({{"--out", options.out}}, inputs));
    const SealPlan plan = sealFor({options.recipients, options.demo}, false,
                                  !options.recipients.empty());
    std::vector<verify::Signature> references;
    for (const auto& r : options.references) {
        references.push_back(loadSignature(r, options.privateKey));
    }
    verify::EnrolOptions enrol;
    enrol.allowMixedKinds = options.allowMixedKinds;
    const verify::Template t = valueOr(verify::Template::enrol(std::move(references), enrol));
    std::string text = t.serialise();
    // Biometric data: readable by its owner only, whatever the umask; sealed, readable by the
    // recipients only wherever it is copied.
    Bytes contents(text.begin(), text.end());
    secureWipe(text);
    if (!plan.recipients.empty()) {
        Result<Bytes> sealed = openssl::makeCms()->envelope(contents, plan.recipients);
        secureWipe(contents);
        contents = must(std::move(sealed));
    }
    StagedOutputs outputs;
    must(outputs.stage(options.out, contents, 0600, true));
    must(outputs.commitAll());
    warnOfDemo(plan, err);
    out << options.out.string() << ": " << t.references().size() << " references, "
        << verify::kindName(t.kind()) << ", " << pressureNote(t.usesPressure()) << '\n';
    if (t.references().size() < verify::kRecommendedReferences) {
        out << "note: " << verify::kRecommendedReferences
            << " references are recommended; fewer make the decision less certain\n";
    }
    return 0;
}

int runVerifyCheck(const VerifyCheckOptions& options, std::ostream& out, std::ostream& err) {
    try {
        Bytes bytes = must(readFile(options.templateFile, verify::kMaxTemplateBytes, "a template"));
        // A sealed template opens with the receiver's key first.
        if (receiver::looksSealed(bytes)) {
            if (!options.privateKey) {
                throw ToolError(options.templateFile.string() +
                                ": a sealed template: give the receiver's --private-key");
            }
            Bytes opened = must(receiver::openSealed(
                bytes, options.templateFile.string(), receiverKey(*options.privateKey, std::nullopt)));
            secureWipe(bytes);
            bytes = std::move(opened);
        }
        const verify::Template t = valueOr(verify::Template::parse(
            std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
            options.templateFile.string()));
        const verify::Signature query = loadSignature(options.query, options.privateKey);
        const verify::Verdict v = valueOr(t.check(query, options.threshold));
        if (options.json) {
            out << json{{"accepted", v.accepted},
                        {"score", v.score},
                        {"threshold", v.threshold},
                        {"pressureUsed", v.pressureUsed},
                        {"parts",
                         {{"minimum", v.toMinimum}, {"mean", v.toMean}, {"central", v.toCentral}}}}
                       .dump(2)
                << '\n';
        } else {
            out << (v.accepted ? "accept" : "reject") << ": score " << number(v.score)
                << " at threshold " << number(v.threshold) << " (" << pressureNote(v.pressureUsed)
                << ")\n";
        }
        return v.accepted ? 0 : 1;
    } catch (const ToolError& e) {
        err << "penwell: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        // Anything else must not reach the caller's exit code 1, which means "reject".
        err << "penwell: unexpected failure: " << e.what() << '\n';
        return 2;
    }
}

int runVerifyEval(const VerifyEvalOptions& options, std::ostream& out, std::ostream& err) {
    std::error_code error;
    if (!std::filesystem::is_directory(options.folder, error)) {
        throw ToolError(options.folder.string() + ": not a folder");
    }
    std::vector<std::filesystem::path> signerFolders;
    for (std::filesystem::directory_iterator it(options.folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_directory() && std::filesystem::is_directory(it->path() / "genuine")) {
            signerFolders.push_back(it->path());
        }
    }
    std::sort(signerFolders.begin(), signerFolders.end());
    std::vector<verify::SignerSet> signers;
    for (const auto& folder : signerFolders) {
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
    verify::EvaluationOptions protocol;
    protocol.references = options.references;
    protocol.draws = options.draws;
    protocol.seed = options.seed;
    protocol.withoutPressure = options.withoutPressure;
    const verify::EvaluationReport r = valueOr(verify::evaluate(signers, protocol));
    for (const auto& line : r.skipped) {
        err << "penwell: skipped " << line << '\n';
    }
    if (options.json) {
        json j{
            {"signers", r.signers},
            {"references", options.references},
            {"draws", options.draws},
            {"pressure", !options.withoutPressure},
            {"tests",
             {{"genuine", r.genuineTests}, {"skilled", r.skilledTests}, {"random", r.randomTests}}},
            {"random",
             {{"eer", r.randomGlobal.eer},
              {"threshold", r.randomGlobal.threshold},
              {"det", detJson(r.randomDet)}}}};
        if (r.skilled) {
            j["skilled"] = {{"eer", r.skilledGlobal.eer},
                            {"threshold", r.skilledGlobal.threshold},
                            {"meanPerSignerEer", r.skilledPerSigner},
                            {"det", detJson(r.skilledDet)}};
        }
        out << j.dump(2) << '\n';
        return 0;
    }
    out << r.signers << " signers, " << options.references << " references, " << options.draws
        << " draws, " << (options.withoutPressure ? "pressure removed" : "pressure where given")
        << "; tests: " << r.genuineTests << " genuine, " << r.skilledTests << " skilled, "
        << r.randomTests << " random\n";
    if (r.skilled) {
        out << "skilled forgeries, one global threshold: EER " << percent(r.skilledGlobal.eer)
            << " at score " << number(r.skilledGlobal.threshold) << '\n'
            << "skilled forgeries, mean of per-signer EERs: " << percent(r.skilledPerSigner)
            << '\n';
    } else {
        out << "skilled forgeries: none in the folder\n";
    }
    out << "random forgeries, one global threshold: EER " << percent(r.randomGlobal.eer)
        << " at score " << number(r.randomGlobal.threshold) << '\n';
    if (r.skilled) {
        printDet(out, "skilled", r.skilledDet);
    }
    printDet(out, "random", r.randomDet);
    return 0;
}

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
                const json trace{
                    {"version", 1},
                    {"description", "Synthetic signature " + signature.name +
                                        " (sigma-lognormal model, penwell verify synth --seed " +
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
    return 0;
}

}  // namespace penwell::tools
