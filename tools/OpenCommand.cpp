// penwell open: the receiver's view of an exported signature.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "penwell/capture/Penwell.h"
#include "penwell/host/common/EvidenceInputs.h"
#include "penwell/platform/Defaults.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/Limits.h"
#include "penwell/receiver/OpenEvidence.h"
#include "penwell/receiver/OpenSignature.h"
#include "penwell/receiver/draw/RestoredRecord.h"
#include "penwell/tools/CertificateTool.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;
using namespace penwell::host;
using namespace penwell::receiver;

namespace {

std::string seconds(std::uint32_t milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", milliseconds / 1000.0);
    return text;
}

void printStrokes(const PointRecord& record, std::ostream& out) {
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
            out << ", " << seconds(lastT) << ", x " << minX << ".." << maxX << ", y " << minY
                << ".." << maxY << ", pressure " << minP / 1000.0 << ".." << maxP / 1000.0;
        }
        out << "\n";
    }
    out << "  writing time (strokes only) "
        << seconds(static_cast<std::uint32_t>(writingMilliseconds(record))) << "\n";
}

void printSummary(const OpenedSignature& opened, const OpenOptions& options, std::ostream& out) {
    const PointRecord& record = opened.record;
    out << options.data.string() << ": " << record.size() << " strokes, " << sampleCount(record)
        << " samples\n";
    out << "  record " << opened.plaintext.size() << " bytes, encrypted " << opened.ciphertextBytes
        << " bytes; key wrapped for RSA-" << opened.keyBits << " (" << opened.wrappedKeyBytes
        << " bytes)\n";
    printStrokes(record, out);
}

std::string utcTime(std::chrono::sys_seconds time) {
    const auto day = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss clock(time - day);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d UTC",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()));
    return text;
}

nlohmann::json evidenceJson(const receiver::OpenedEvidence& opened) {
    const EvidencePayload& p = opened.payload;
    nlohmann::json kinds = nlohmann::json::array(), fields = nlohmann::json::object();
    for (const PointerKind kind : p.pointerKinds) {
        kinds.push_back(pointerKindName(kind));
    }
    for (const EvidenceField& f : p.fields) {
        fields[f.name] = f.value;
    }
    const auto number = [](double v) {
        return std::isfinite(v) ? nlohmann::json(v) : nlohmann::json();
    };
    return {{"version", p.version},
            {"pointer_kinds", std::move(kinds)},
            {"pad", {{"width", p.padWidth}, {"height", p.padHeight}}},
            {"ink",
             {{"red", p.red},
              {"green", p.green},
              {"blue", p.blue},
              {"alpha", p.alpha},
              {"width", p.lineWidth},
              {"smoothing", p.smoothing}}},
            {"sigma", number(p.sigma)},
            {"sigma2", number(p.sigma2)},
            {"document_sha256",
             p.documentSha256 ? nlohmann::json(hex(*p.documentSha256)) : nlohmann::json()},
            {"capture_time", utcTime(p.captureTime)},
            {"software", p.software},
            {"fields", std::move(fields)},
            {"signer",
             opened.signerCertificate ? nlohmann::json(opened.signerSubject) : nlohmann::json()},
            {"signer_trusted", opened.signerTrusted}};
}

void printEvidence(const receiver::OpenedEvidence& opened, const PointRecord& record,
                   const OpenOptions& options, std::ostream& out) {
    const EvidencePayload& p = opened.payload;
    out << options.evidence->string() << ": " << record.size() << " strokes, "
        << sampleCount(record) << " samples, captured " << utcTime(p.captureTime) << " by "
        << p.software << "\n";
    out << "  sealed with AES-256-GCM; "
        << (opened.signerCertificate
                ? "signed by \"" + opened.signerSubject + "\"" +
                      (opened.signerTrusted ? " (trusted)" : " (not checked against --trust)")
                : std::string("not signed"))
        << "\n";
    out << "  document "
        << (p.documentSha256
                ? "SHA-256 " + hex(*p.documentSha256) + (options.document ? " (matches)" : "")
                : std::string("none"))
        << "\n";
    out << "  pad " << p.padWidth << " x " << p.padHeight << " points, ink width " << p.lineWidth
        << ", smoothing " << (p.smoothing ? "on" : "off") << "\n";
    for (const EvidenceField& f : p.fields) {
        out << "  " << f.name << ": " << f.value << "\n";
    }
    printStrokes(record, out);
}

nlohmann::json recordJson(const PointRecord& record, std::size_t recordBytes) {
    nlohmann::json strokes = nlohmann::json::array();
    for (const RecordStroke& stroke : record) {
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
    return {{"lines", record.size()},
            {"samples", sampleCount(record)},
            {"record_bytes", recordBytes},
            {"strokes", std::move(strokes)}};
}

}  // namespace

int runOpen(const OpenOptions& options, std::ostream& out) {
    if (!options.evidence && (options.data.empty() || options.key.empty())) {
        throw UsageError("open: needs --data and --key, or --evidence");
    }
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
        throw UsageError("--scale: " + std::to_string(options.scale) + " is not within 1 and 8");
    }
    std::vector<NamedFile> inputs = {{"--private-key", options.privateKey}};
    if (options.evidence) {
        inputs.push_back({"--evidence", *options.evidence});
        if (options.document) {
            inputs.push_back({"--document", *options.document});
        }
        if (options.privateKeyCertificate) {
            inputs.push_back({"--private-key-cert", *options.privateKeyCertificate});
        }
    } else {
        if (options.privateKeyCertificate) {
            throw UsageError("--private-key-cert: only goes with --evidence");
        }
        inputs.push_back({"--data", options.data});
        inputs.push_back({"--key", options.key});
    }
    must(requireDistinctFiles(named, inputs));
    std::optional<OpenedSignature> opened;
    std::optional<receiver::OpenedEvidence> evidence;
    PointRecord record;
    if (options.evidence) {
        if (!options.data.empty() || !options.key.empty()) {
            throw UsageError("--evidence: replaces --data and --key, give one or the other");
        }
        evidence = must(openEvidenceFile(
            *options.evidence, receiverKey(options.privateKey, options.privateKeyPasswordFile),
            options.document ? std::optional(must(documentDigest(*options.document)))
                             : std::nullopt,
            options.trust, options.privateKeyCertificate));
        record = must(decodeRecord(evidence->payload.record, options.evidence->string()));
    } else {
        opened = must(openSignature(receiverKey(options.privateKey, options.privateKeyPasswordFile),
                                    options.data, options.key));
        record = opened->record;
    }
    // Stage the pictures before printing anything, so a failure prints only its error.
    StagedOutputs outputs;
    if (!pictures.empty()) {
        const std::vector<ExportResult> results = must(drawRecord(
            record, options.evidence ? options.evidence->string() : options.data.string(),
            {options.lineWidth, options.smoothing, {}}, pictures));
        for (std::size_t i = 0; i < files.size(); ++i) {
            must(outputs.stage(files[i], results[i].bytes));
        }
    }
    if (options.json) {
        nlohmann::json doc = recordJson(
            record, evidence ? evidence->payload.record.size() : opened->plaintext.size());
        if (evidence) {
            doc["evidence"] = evidenceJson(*evidence);
        }
        out << doc.dump(1) << "\n";
    } else if (evidence) {
        printEvidence(*evidence, record, options, out);
    } else {
        printSummary(*opened, options, out);
    }
    must(outputs.commitAll());
    if (!options.json) {
        for (const auto& file : files) {
            out << "wrote " << file.string() << "\n";
        }
    }
    return 0;
}

}  // namespace penwell::tools
