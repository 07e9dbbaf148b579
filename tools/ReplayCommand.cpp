// penwell replay: one trace through the controller, and whatever exports were asked for.

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/cairo/CairoGraphics.h"
#include "platform/filesystem/DirectoryBundle.h"
#include "tools/Commands.h"
#include "tools/Record.h"
#include "tools/Replay.h"
#include "tools/StagedFile.h"
#include "tools/ToolError.h"

namespace penwell::tools {

namespace {

void stagePng(StagedOutputs& outputs, const std::filesystem::path& target, const Image& image) {
    StagedFile& file = outputs.add(target);
    if (!penwell::cairo::writePng(image, file.temporary())) {
        throw ToolError(target.string() + ": cannot write the PNG");
    }
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
        throw ToolError(std::string(options.data ? "--data" : "--key") + ": needs " +
                        (options.data ? "--key" : "--data") +
                        " too: the record is useless without its wrapped key");
    }
    std::vector<NamedFile> named;
    for (const auto& [option, path] :
         {std::pair{"--pad-png", &options.padPng}, std::pair{"--png", &options.png},
          std::pair{"--data", &options.data}, std::pair{"--key", &options.key}}) {
        if (*path) {
            named.push_back({option, **path});
        }
    }
    std::vector<NamedFile> inputs = {
        {"TRACE", options.trace},
        {"--resources",
         (options.resources ? *options.resources : filesystem::DirectoryBundle::defaultFolder()) /
             "Penwell.dat"}};
    if (options.store) {
        inputs.push_back({"--store", *options.store});
    }
    requireDistinctFiles(named, inputs);

    const Trace trace = loadTrace(options.trace);
    for (const std::string& warning : traceWarnings(trace)) {
        err << "penwell: warning: " << warning << "\n";
    }
    ReplaySettings settings;
    settings.smoothing = options.smoothing;
    settings.lineWidth = options.lineWidth;
    settings.services.certificateStore = options.store;
    settings.services.resources = options.resources;

    ExportRequest request;
    request.padImage = options.padPng.has_value();
    request.image = options.png.has_value() && !options.crop;
    request.cropped = options.png.has_value() && options.crop;
    request.data = options.data.has_value();

    Replay replay(trace, settings);
    Exports exports;
    replay.run([&] { exports = takeExports(replay, trace, request, settings.services); });

    StagedOutputs outputs;
    if (options.padPng) {
        stagePng(outputs, *options.padPng, *exports.padImage);
    }
    if (options.png) {
        stagePng(outputs, *options.png, options.crop ? *exports.cropped : *exports.image);
    }
    if (options.data) {
        outputs.add(*options.data).write(*exports.data);
        outputs.add(*options.key).write(*exports.wrappedKey);
    }
    outputs.commitAll();

    const PenwellViewController& c = replay.controller();
    const PointRecord record = recordOf(c.lines());
    out << options.trace.string() << ": " << record.size() << " strokes, " << sampleCount(record)
        << " samples, " << (c.isSignature() ? "a signature" : "not a signature")
        << " (MinSigPoints " << c.MinSigPoints() << "), smoothing "
        << (c.smoothing() ? "on" : "off") << ", clock at " << replay.clock() << " s\n";
    out << "  sigma " << statistic(c.calculateSigma()) << ", sigma2 "
        << statistic(c.calculateSigma2()) << "\n";
    for (const auto* path : {&options.padPng, &options.png, &options.data, &options.key}) {
        if (*path) {
            out << "wrote " << (*path)->string() << "\n";
        }
    }
    return 0;
}

}  // namespace penwell::tools
