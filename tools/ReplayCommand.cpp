// penwell replay: one trace through the controller, and whatever exports were asked for.

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "penwell/host/common/EvidenceInputs.h"
#include "penwell/host/common/HostServices.h"
#include "penwell/host/common/Replay.h"
#include "penwell/host/common/Sealing.h"
#include "penwell/host/common/SignatureBundle.h"
#include "penwell/platform/SigningIdentityFiles.h"
#include "penwell/platform/cairo/CairoGraphics.h"
#include "penwell/platform/filesystem/DirectoryBundle.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/Record.h"
#include "penwell/secure/StrokeRecord.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;
using namespace penwell::host;
using namespace penwell::receiver;

std::filesystem::path stagePng(StagedOutputs& outputs, const std::filesystem::path& target,
                               const Image& image) {
    StagedFile& file = *must(outputs.add(target));
    if (!penwell::cairo::writePng(image, file.temporary())) {
        throw ToolError(target.string() + ": cannot write the PNG");
    }
    return file.temporary();
}

std::optional<SigningIdentity> loadSigningIdentity(const SignOptions& options) {
    if (!options.key) {
        for (const auto& [option, path] :
             {std::pair{"--sign-cert", &options.certificate}, std::pair{"--sign-chain", &options.chain},
              std::pair{"--sign-password-file", &options.passwordFile}}) {
            if (*path) {
                throw UsageError(std::string(option) + ": needs --sign-key");
            }
        }
        return std::nullopt;
    }
    SigningIdentityFiles files;
    files.key = options.key->string();
    files.certificate = options.certificate;
    files.chain = options.chain;
    files.passwordFile = options.passwordFile;
    return must(penwell::loadSigningIdentity(files));
}

KeyLocation receiverKey(const std::filesystem::path& key,
                        const std::optional<std::filesystem::path>& passwordFile) {
    KeyLocation location(key);
    location.passphraseFile = passwordFile;
    location.passphraseVariable = kPrivateKeyPasswordVariable;
    location.passphraseOption = "--private-key-password-file";
    return location;
}

SealPlan sealFor(const SealOptions& options, bool pinned, bool evidence) {
    if (!options.recipients.empty() && !evidence) {
        throw UsageError("--recipient: only goes with evidence this command seals");
    }
    const std::vector<Recipient> recipients = must(loadRecipients(options.recipients));
    const Sealing sealing{pinned || (evidence && recipients.empty()), recipients};
    SealPlan plan;
    plan.warning = must(checkDemoUse(sealing, options.demo));
    for (const Recipient& recipient : recipients) {
        plan.recipients.push_back(recipient.certificate);
    }
    return plan;
}

void warnOfDemo(const SealPlan& plan, std::ostream& err) {
    if (!plan.warning.empty()) {
        err << "penwell: warning: " << plan.warning << "\n";
    }
}

namespace {

/// A statistic for JSON at full precision (nlohmann writes the shortest form that reads back
/// exactly); NaN, which JSON has no number for, as null.
nlohmann::json figure(double value) {
    return std::isnan(value) ? nlohmann::json(nullptr) : nlohmann::json(value);
}

std::string statistic(double value) {
    if (std::isnan(value)) {
        return "n/a";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

}  // namespace

int runReplay(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
    if (options.data.has_value() != options.key.has_value()) {
        throw UsageError(std::string(options.data ? "--data" : "--key") + ": needs " +
                         (options.data ? "--key" : "--data") +
                         " too: the record is useless without its wrapped key");
    }
    if (!(options.scale >= 1.0 && options.scale <= 8.0)) {
        throw UsageError("--scale: " + std::to_string(options.scale) + " is not within 1 and 8");
    }
    if (options.evidence && !options.document && !options.noDocument) {
        throw UsageError(
            "--evidence: needs --document (the file being signed), or "
            "--no-document for a record bound to nothing");
    }
    if (options.document && options.noDocument) {
        throw UsageError("--document: contradicts --no-document");
    }
    if ((options.document || options.noDocument || options.sign.key) && !options.evidence) {
        throw UsageError(std::string(options.sign.key ? "--sign-key" : "--document") +
                         ": only goes with --evidence");
    }
    // Every picture option with the export that makes it.
    const struct {
        const char* option;
        const std::optional<std::filesystem::path>& path;
        ExportOptions exported;
    } pictures[] = {
        {"--png",
         options.png,
         {ExportFormat::PNG, options.scale, options.crop, options.background}},
        {"--png-cropped",
         options.pngCropped,
         {ExportFormat::PNG, options.scale, true, options.background}},
        {"--svg", options.svg, {ExportFormat::SVG, 1.0, options.crop, options.background}},
        {"--pdf", options.pdf, {ExportFormat::PDF, 1.0, options.crop, options.background}}};

    std::vector<NamedFile> named;
    if (options.padPng) {
        named.push_back({"--pad-png", *options.padPng});
    }
    BundleSettings request;
    request.record = options.data.has_value();
    request.picture = false;
    request.evidence = options.evidence.has_value();
    request.name = options.trace.string();
    std::vector<std::filesystem::path> files;
    for (const auto& picture : pictures) {
        if (picture.path) {
            named.push_back({picture.option, *picture.path});
            request.files.push_back(picture.exported);
            files.push_back(*picture.path);
        }
    }
    // The crop rectangle of the summary, taken from a document: it has no pixels to paint.
    const bool cropForSummary = options.json;
    if (cropForSummary) {
        request.files.push_back({ExportFormat::SVG, 1.0, true, false});
    }
    for (const auto& [option, path] :
         {std::pair{"--data", &options.data}, std::pair{"--key", &options.key},
          std::pair{"--evidence", &options.evidence}}) {
        if (*path) {
            named.push_back({option, **path});
        }
    }
    const std::filesystem::path resources =
        options.resources ? *options.resources : installedResourceFolder();
    std::vector<NamedFile> inputs = {{"TRACE", options.trace},
                                     {"--resources", resources / "Penwell.dat"}};
    if (options.store) {
        inputs.push_back({"--store", *options.store});
    }
    for (const auto& [option, path] :
         {std::pair{"--document", &options.document}, std::pair{"--sign-key", &options.sign.key},
          std::pair{"--sign-cert", &options.sign.certificate},
          std::pair{"--sign-chain", &options.sign.chain}}) {
        if (*path) {
            inputs.push_back({option, **path});
        }
    }
    for (const auto& recipient : options.seal.recipients) {
        inputs.push_back({"--recipient", recipient});
    }
    must(requireDistinctFiles(named, inputs));
    SealPlan plan = sealFor(options.seal, options.data.has_value(), options.evidence.has_value());
    // Read only with --evidence (checked above), but always checked for a stray option.
    std::optional<SigningIdentity> signer = loadSigningIdentity(options.sign);
    if (options.evidence) {
        request.recipients = std::move(plan.recipients);
        if (options.document) {
            request.documentSha256 = must(documentDigest(*options.document));
        }
        request.signer = std::move(signer);
    }

    const Trace trace = must(loadTrace(options.trace));
    for (const std::string& warning : traceWarnings(trace)) {
        err << "penwell: warning: " << warning << "\n";
    }
    ReplaySettings settings;
    settings.smoothing = options.smoothing;
    settings.lineWidth = options.lineWidth;
    settings.services.certificateStore = options.store;
    settings.services.resources = resources;
    request.resources = resources;

    Replay replay(trace, settings);
    PenwellViewController& c = replay.controller();
    std::optional<Image> padImage;
    SignatureBundle exports;
    replay.run([&] {
        if (options.padPng) {
            padImage = renderView(replay.graphics(), replay.pad());
        }
        // A summary of a session without a signature still has its figures, just no crop.
        BundleSettings now = request;
        if (cropForSummary && !c.isSignature()) {
            now.files.pop_back();
        }
        if (now.record || now.evidence || !now.files.empty()) {
            exports = must(exportBundle(c, replay.graphics(), now));
        }
    });

    // Staged in one group: all outputs appear together or none changes.
    StagedOutputs outputs;
    if (options.padPng) {
        stagePng(outputs, *options.padPng, *padImage);
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        must(outputs.stage(files[i], exports.files[i].bytes));
    }
    if (options.data) {
        must(outputs.stage(*options.data, exports.data));
        must(outputs.stage(*options.key, exports.key));
    }
    if (options.evidence) {
        must(outputs.stage(*options.evidence, exports.evidence));
    }
    must(outputs.commitAll());
    warnOfDemo(plan, err);  // after the fact: a command that fails has sealed nothing

    const PointRecord record = recordOf(c.lines());
    std::vector<std::filesystem::path> written;
    for (const auto* path : {&options.padPng, &options.png, &options.pngCropped, &options.svg,
                             &options.pdf, &options.data, &options.key, &options.evidence}) {
        if (*path) {
            written.push_back(**path);
        }
    }
    if (options.json) {
        nlohmann::json summary = {{"trace", options.trace.string()},
                                  {"strokes", record.size()},
                                  {"samples", sampleCount(record)},
                                  {"signature", c.isSignature()},
                                  {"sigma", figure(c.calculateSigma())},
                                  {"sigma2", figure(c.calculateSigma2())},
                                  {"crop", nullptr},
                                  {"wrote", nlohmann::json::array()}};
        if (exports.files.size() > files.size()) {
            const Rect& r = exports.files.back().rect;
            summary["crop"] = {{"x", r.origin.x},
                               {"y", r.origin.y},
                               {"width", r.size.width},
                               {"height", r.size.height}};
        }
        for (const auto& path : written) {
            summary["wrote"].push_back(path.string());
        }
        out << summary.dump(1) << "\n";
        return 0;
    }
    out << options.trace.string() << ": " << record.size() << " strokes, " << sampleCount(record)
        << " samples, " << (c.isSignature() ? "a signature" : "not a signature")
        << " (MinSigPoints " << c.MinSigPoints() << "), smoothing "
        << (c.smoothing() ? "on" : "off") << ", clock at " << replay.clock() << " s\n";
    out << "  sigma " << statistic(c.calculateSigma()) << ", sigma2 "
        << statistic(c.calculateSigma2()) << "\n";
    for (const auto& path : written) {
        out << "wrote " << path.string() << "\n";
    }
    return 0;
}

}  // namespace penwell::tools
