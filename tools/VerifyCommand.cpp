#include "penwell/tools/VerifyCommand.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>

#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/platform/openssl/OpenSslCms.h"
#include "penwell/receiver/Sealed.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"
#include "penwell/tools/VerifyInput.h"
#include "penwell/verify/Template.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;

namespace {

using nlohmann::json;

std::string number(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    return buffer;
}

/// The two components that weigh most in the score, with their z-scores.
std::string furthest(std::vector<verify::Component> components) {
    std::sort(components.begin(), components.end(),
              [](const auto& a, const auto& b) { return a.weight * a.z > b.weight * b.z; });
    std::string out;
    for (std::size_t i = 0; i < components.size() && i < 2; ++i) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%s%.*s z %.1f", i > 0 ? ", " : "",
                      static_cast<int>(components[i].name.size()), components[i].name.data(),
                      components[i].z);
        out += buffer;
    }
    return out;
}

std::string pressureNote(bool used) {
    return used ? "pressure used" : "without pressure";
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
    const verify::Template t = must(verify::Template::enrol(std::move(references), enrol));
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
    // Exit code 1 means "reject": a check that cannot be made exits 2, whatever stopped it.
    return runCommand(
        [&] {
            Bytes bytes =
                must(readFile(options.templateFile, verify::kMaxTemplateBytes, "a template"));
            // A sealed template opens with the receiver's key first.
            if (receiver::looksSealed(bytes)) {
                if (!options.privateKey) {
                    throw ToolError(options.templateFile.string() +
                                    ": a sealed template: give the receiver's --private-key");
                }
                Bytes opened =
                    must(receiver::openSealed(bytes, options.templateFile.string(),
                                              receiverKey(*options.privateKey, std::nullopt)));
                secureWipe(bytes);
                bytes = std::move(opened);
            }
            const verify::Template t = must(verify::Template::parse(
                std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                options.templateFile.string()));
            const verify::Signature query = loadSignature(options.query, options.privateKey);
            if (t.migratedFrom() != 0) {
                err << "penwell: note: " << options.templateFile.string() << " is a version "
                    << t.migratedFrom() << " template, read by measuring its references again; "
                    << "enrol them again to write version " << verify::kTemplateVersion << '\n';
            }
            const verify::Verdict v = must(t.check(query, options.threshold));
            if (options.json) {
                json components = json::array();
                for (const auto& c : v.components) {
                    components.push_back({{"name", c.name},
                                          {"z", c.z},
                                          {"weight", c.weight},
                                          {"value", c.value},
                                          {"centre", c.centre},
                                          {"spread", c.spread}});
                }
                out << json{{"accepted", v.accepted},
                            {"score", v.score},
                            {"threshold", v.threshold},
                            {"pressureUsed", v.pressureUsed},
                            {"components", components}}
                           .dump(2)
                    << '\n';
            } else {
                out << (v.accepted ? "accept" : "reject") << ": score " << number(v.score)
                    << " at threshold " << number(v.threshold) << " ("
                    << pressureNote(v.pressureUsed)
                    << "); furthest from the references: " << furthest(v.components) << '\n';
            }
            return v.accepted ? 0 : 1;
        },
        err, kExitUsage);
}

}  // namespace penwell::tools
