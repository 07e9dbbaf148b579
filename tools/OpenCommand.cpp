// penwell open: the receiver's view of an exported signature.

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "capture/Penwell.h"
#include "platform/Defaults.h"
#include "tools/Commands.h"
#include "tools/Receiver.h"
#include "tools/StagedFile.h"
#include "tools/ToolError.h"

namespace penwell::tools {

namespace {

std::string seconds(std::uint32_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", milliseconds / 1000.0);
    return text;
}

void printSummary(const OpenedSignature& opened, const OpenOptions& options, std::ostream& out) {
    const PointRecord& record = opened.record;
    out << options.data.string() << ": " << record.size() << " strokes, " << sampleCount(record)
        << " samples\n";
    out << "  record " << opened.plaintext.size() << " bytes, encrypted " << opened.ciphertextBytes
        << " bytes; key wrapped for RSA-" << opened.keyBits << " (" << opened.wrappedKeyBytes
        << " bytes)\n";
    std::uint64_t writing = 0;
    for (std::size_t i = 0; i < record.size(); ++i) {
        const RecordStroke& stroke = record[i];
        out << "  stroke " << i + 1 << ": " << stroke.size() << " samples";
        if (!stroke.empty()) {
            std::int32_t minX = signedField(stroke[0].x), maxX = minX;
            std::int32_t minY = signedField(stroke[0].y), maxY = minY;
            std::uint32_t minP = stroke[0].p, maxP = minP, lastT = 0;
            for (const RecordSample& s : stroke) {
                minX = std::min(minX, signedField(s.x));
                maxX = std::max(maxX, signedField(s.x));
                minY = std::min(minY, signedField(s.y));
                maxY = std::max(maxY, signedField(s.y));
                minP = std::min(minP, s.p);
                maxP = std::max(maxP, s.p);
                lastT = std::max(lastT, s.t);
            }
            writing += lastT;
            out << ", " << seconds(lastT) << ", x " << minX << ".." << maxX << ", y " << minY
                << ".." << maxY << ", pressure " << minP / 1000.0 << ".." << maxP / 1000.0;
        }
        out << "\n";
    }
    out << "  writing time (strokes only) " << seconds(static_cast<std::uint32_t>(writing)) << "\n";
}

void printJson(const OpenedSignature& opened, std::ostream& out) {
    nlohmann::json strokes = nlohmann::json::array();
    for (const RecordStroke& stroke : opened.record) {
        nlohmann::json samples = nlohmann::json::array();
        for (const RecordSample& s : stroke) {
            // The fields as recorded, and the positions as the sender's pad had them.
            samples.push_back({{"x", s.x},
                               {"y", s.y},
                               {"p", s.p},
                               {"t", s.t},
                               {"signed_x", signedField(s.x)},
                               {"signed_y", signedField(s.y)}});
        }
        strokes.push_back(std::move(samples));
    }
    const nlohmann::json doc = {{"lines", opened.record.size()},
                                {"samples", sampleCount(opened.record)},
                                {"record_bytes", opened.plaintext.size()},
                                {"strokes", std::move(strokes)}};
    out << doc.dump(1) << "\n";
}

/// Margin beyond the ink's far corner on the receiver's pad: the crop's margin, so a cropped
/// picture is never cut short by the pad's edge.
constexpr double kPadMargin = 20.0;
constexpr double kMaxPadSide = 8192.0;

/// The pictures of the record, drawn as the sender's controller draws them: by a controller
/// restored from the record, on a pad from the origin to the ink's far corner plus the margin.
/// Ink left of or above the origin lies off the pad, as it did on the sender's.
std::vector<ExportResult> drawRecord(const PointRecord& record, const OpenOptions& options,
                                     const std::vector<ExportOptions>& pictures) {
    const std::string name = options.data.string();
    if (sampleCount(record) == 0) {
        throw ToolError(name + ": nothing to draw: the record holds no samples");
    }
    double maxX = 0.0, maxY = 0.0;
    for (const RecordStroke& stroke : record) {
        for (const RecordSample& s : stroke) {
            maxX = std::max<double>(maxX, signedField(s.x));
            maxY = std::max<double>(maxY, signedField(s.y));
        }
    }
    const Size size{maxX + kPadMargin, maxY + kPadMargin};
    if (size.width > kMaxPadSide || size.height > kMaxPadSide) {
        throw ToolError(name + ": the ink spans " + std::to_string(static_cast<long>(size.width)) +
                        " x " + std::to_string(static_cast<long>(size.height)) +
                        " points, too large to draw (at most 8192 on a side)");
    }
    headless::HeadlessHost host;
    PenwellViewController controller(headlessServices(host));
    controller.setSigImage(std::make_shared<ImageView>(Rect{{0.0, 0.0}, size}));
    controller.setMinSigPoints(0);  // whatever the sender required, a record is shown whole
    controller.setLineWidth(static_cast<float>(options.lineWidth));
    controller.setSmoothing(options.smoothing);
    if (!controller.restoreSignature(strokesOf(record))) {
        throw ToolError(name + ": the record's samples cannot be restored");  // integers: never
    }
    std::vector<ExportResult> results;
    for (const ExportOptions& picture : pictures) {
        std::optional<ExportResult> result = controller.exportSignature(picture);
        if (!result) {
            throw ToolError(name + ": the picture could not be made");
        }
        results.push_back(std::move(*result));
    }
    return results;
}

}  // namespace

int runOpen(const OpenOptions& options, std::ostream& out) {
    const std::pair<const char*, const std::optional<std::filesystem::path>*> kinds[] = {
        {"--png", &options.png}, {"--svg", &options.svg}, {"--pdf", &options.pdf}};
    const ExportFormat formats[] = {ExportFormat::PNG, ExportFormat::SVG, ExportFormat::PDF};
    std::vector<NamedFile> named;
    std::vector<ExportOptions> pictures;
    std::vector<std::filesystem::path> files;
    for (std::size_t i = 0; i < std::size(kinds); ++i) {
        if (*kinds[i].second) {
            named.push_back({kinds[i].first, **kinds[i].second});
            pictures.push_back({formats[i], formats[i] == ExportFormat::PNG ? options.scale : 1.0,
                                options.crop, options.background});
            files.push_back(**kinds[i].second);
        }
    }
    if (!(options.scale >= 1.0 && options.scale <= 8.0)) {
        throw ToolError("--scale: " + std::to_string(options.scale) + " is not within 1 and 8");
    }
    requireDistinctFiles(
        named,
        {{"--private-key", options.privateKey}, {"--data", options.data}, {"--key", options.key}});
    const OpenedSignature opened = openSignature(options.privateKey, options.data, options.key);
    // Stage the pictures before printing anything, so a failure prints only its error.
    StagedOutputs outputs;
    if (!pictures.empty()) {
        const std::vector<ExportResult> results = drawRecord(opened.record, options, pictures);
        for (std::size_t i = 0; i < files.size(); ++i) {
            outputs.add(files[i]).write(results[i].bytes);
        }
    }
    if (options.json) {
        printJson(opened, out);
    } else {
        printSummary(opened, options, out);
    }
    outputs.commitAll();
    if (!options.json) {
        for (const auto& file : files) {
            out << "wrote " << file.string() << "\n";
        }
    }
    return 0;
}

}  // namespace penwell::tools
