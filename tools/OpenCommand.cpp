// penwell open: the receiver's view of an exported signature.

#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/cairo/CairoGraphics.h"
#include "tools/Commands.h"
#include "tools/Receiver.h"
#include "tools/RecordImage.h"
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
            samples.push_back({{"x", s.x}, {"y", s.y}, {"p", s.p}, {"t", s.t}});
        }
        strokes.push_back(std::move(samples));
    }
    const nlohmann::json doc = {{"lines", opened.record.size()},
                                {"samples", sampleCount(opened.record)},
                                {"record_bytes", opened.plaintext.size()},
                                {"strokes", std::move(strokes)}};
    out << doc.dump(1) << "\n";
}

}  // namespace

int runOpen(const OpenOptions& options, std::ostream& out) {
    if (options.png) {
        requireDistinctFiles({{"--png", *options.png}}, {{"--private-key", options.privateKey},
                                                         {"--data", options.data},
                                                         {"--key", options.key}});
    }
    const OpenedSignature opened = openSignature(options.privateKey, options.data, options.key);
    // Stage the picture before printing anything, so a failure prints only its error.
    std::optional<StagedOutputs> outputs;
    if (options.png) {
        auto graphics = cairo::makeGraphics();
        const Image image =
            renderRecord(opened.record, *graphics, options.lineWidth, options.data.string());
        outputs.emplace();
        StagedFile& png = outputs->add(*options.png);
        if (!cairo::writePng(image, png.temporary())) {
            throw ToolError(options.png->string() + ": cannot write the PNG");
        }
    }
    if (options.json) {
        printJson(opened, out);
    } else {
        printSummary(opened, options, out);
    }
    if (outputs) {
        outputs->commitAll();
        if (!options.json) {
            out << "wrote " << options.png->string() << "\n";
        }
    }
    return 0;
}

}  // namespace penwell::tools
