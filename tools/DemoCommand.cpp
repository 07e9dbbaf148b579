// penwell demo: every bundled trace through a real controller, every export written, and each
// encrypted record opened again as its receiver would, to show the round trip holds.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "penwell/host/common/Replay.h"
#include "penwell/host/common/SignatureBundle.h"
#include "penwell/platform/cairo/CairoGraphics.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/Limits.h"
#include "penwell/receiver/OpenSignature.h"
#include "penwell/receiver/Record.h"
#include "penwell/secure/StrokeRecord.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;
using namespace penwell::host;
using namespace penwell::receiver;

namespace {

std::string fixed(double value, int decimals) {
    if (std::isnan(value)) {
        return "n/a";
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string sizeOf(const std::filesystem::path& file) {
    std::error_code error;
    const auto bytes = std::filesystem::file_size(file, error);
    return error ? "?" : std::to_string(bytes) + " bytes";
}

/// Seconds from the first touch to the last one delivered, whatever the strokes.
double sessionSeconds(const Trace& trace) {
    double first = -1.0, last = 0.0;
    for (const TraceEvent& event : trace.events) {
        for (const Touch& t : event.touches) {
            first = first < 0.0 ? t.timestamp : std::min(first, t.timestamp);
            last = std::max(last, t.timestamp);
        }
    }
    return first < 0.0 ? 0.0 : last - first;
}

/// Where the first difference between what was captured and what was received lies.
///
/// Written to a stream rather than with `"literal" + std::string`: GCC 12 at -O3 inlines that
/// operator's insert and reports a memcpy overlap that cannot happen (-Werror=restrict).
std::string firstDifference(const PointRecord& sent, const PointRecord& received) {
    std::ostringstream out;
    if (sent.size() != received.size()) {
        out << sent.size() << " strokes sent, " << received.size() << " received";
        return out.str();
    }
    for (std::size_t s = 0; s < sent.size(); ++s) {
        if (sent[s].size() != received[s].size()) {
            out << "stroke " << s + 1 << ": " << sent[s].size() << " samples sent, "
                << received[s].size() << " received";
            return out.str();
        }
        for (std::size_t i = 0; i < sent[s].size(); ++i) {
            const RecordSample& a = sent[s][i];
            const RecordSample& b = received[s][i];
            if (!(a == b)) {
                auto text = [&out](const RecordSample& x) {
                    out << "(" << x.x << ", " << x.y << ", " << x.p << ", " << x.t << ")";
                };
                out << "stroke " << s + 1 << " sample " << i + 1 << ": sent ";
                text(a);
                out << ", received ";
                text(b);
                return out.str();
            }
        }
    }
    return {};
}

struct Staged {
    std::filesystem::path pad, image, cropped, data, key;
};

}  // namespace

DemoOptions defaultDemoOptions() {
    DemoOptions options;
    options.examples = PENWELL_EXAMPLES_DIR;
    options.resources = PENWELL_DEMO_CERTIFICATE_DIR;
    options.privateKey =
        std::filesystem::path(PENWELL_DEMO_CERTIFICATE_DIR) / "demo-private-key.pem";
    return options;
}

int runDemo(const DemoOptions& options, std::ostream& out, std::ostream& err) {
    const SealPlan plan = sealFor({{}, options.demo}, true, false);
    std::vector<std::filesystem::path> traces;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(options.examples, error)) {
        if (entry.path().extension() == ".json") {
            traces.push_back(entry.path());
        }
    }
    if (error) {
        throw ToolError(options.examples.string() + ": cannot list the traces: " + error.message());
    }
    if (traces.empty()) {
        throw ToolError(options.examples.string() + ": no traces (*.json) to replay");
    }
    std::sort(traces.begin(), traces.end());
    OutputFolder outFolder = must(OutputFolder::create(options.out));
    const PrivateKey receiverKey =
        must(PrivateKey::fromFile(tools::receiverKey(options.privateKey, std::nullopt)));

    // Without --store each replay has a throwaway store in memory, so the demo never installs
    // its certificate in the user's store.
    const ServiceOptions services{.certificateStore = options.store,
                                  .resources = options.resources};

    StagedOutputs outputs;
    // Printed only once every file is in place, so a failure shows only its error.
    std::ostringstream report;
    for (const std::filesystem::path& tracePath : traces) {
        const Trace trace = must(loadTrace(tracePath));
        for (const std::string& warning : traceWarnings(trace)) {
            err << "penwell: warning: " << warning << "\n";
        }
        const std::string name = tracePath.stem().string();
        Replay replay(trace,
                      {.smoothing = std::nullopt, .lineWidth = std::nullopt, .services = services});
        SignatureBundle exports;
        std::optional<Image> padImage;
        BundleSettings everything;
        everything.picture = everything.evidence = false;
        everything.image = everything.cropped = true;
        everything.name = tracePath.string();
        everything.resources = options.resources;
        replay.run([&] {
            padImage = renderView(replay.graphics(), replay.pad());
            exports = must(exportBundle(replay.controller(), replay.graphics(), everything));
        });

        const Staged files{options.out / (name + "-pad.png"), options.out / (name + ".png"),
                           options.out / (name + "-cropped.png"), options.out / (name + ".data"),
                           options.out / (name + ".key")};
        const auto padFile = stagePng(outputs, files.pad, *padImage);
        const auto imageFile = stagePng(outputs, files.image, *exports.image);
        const auto croppedFile = stagePng(outputs, files.cropped, *exports.cropped);
        StagedFile& dataFile = *must(outputs.add(files.data));
        must(dataFile.write(exports.data));
        StagedFile& keyFile = *must(outputs.add(files.key));
        must(keyFile.write(exports.key));

        // The receiver's side, from the bytes as written.
        const Bytes ciphertext =
            must(readFile(dataFile.temporary(), kMaxRecordBytes, "an encrypted record"));
        Bytes blob = must(receiverKey.unwrapKeyBlob(
            must(readFile(keyFile.temporary(), kMaxKeyBytes, "a wrapped key")),
            files.key.string()));
        const Bytes plaintext = must(decryptRecord(blob, ciphertext, files.data.string()));
        secureWipe(blob);
        const PointRecord received = must(decodeRecord(plaintext, files.data.string()));
        const PenwellViewController& c = replay.controller();
        const PointRecord sent = recordOf(c.lines());
        const std::string difference = firstDifference(sent, received);
        if (!difference.empty()) {
            throw ToolError(files.data.string() + ": round trip failed: " + difference);
        }

        std::uint64_t writingMs = 0;
        for (const RecordStroke& stroke : received) {
            writingMs += stroke.empty() ? 0 : stroke.back().t;
        }
        const Size padSize = trace.padFrame.size;
        report << name << " (" << tracePath.string() << ")\n"
               << "  pad " << padSize.width << " x " << padSize.height << ", smoothing "
               << (c.smoothing() ? "on" : "off") << ", ink " << c.lineWidth() << " pt\n"
               << "  " << received.size() << " strokes, " << sampleCount(received)
               << " samples; writing " << fixed(writingMs / 1000.0, 3) << " s, session "
               << fixed(sessionSeconds(trace), 3) << " s\n"
               << "  timing: sigma " << fixed(c.calculateSigma(), 4) << ", sigma2 "
               << fixed(c.calculateSigma2(), 4) << "\n"
               << "  " << files.pad.string() << " (" << sizeOf(padFile) << ")\n"
               << "  " << files.image.string() << " (" << exports.image->width() << " x "
               << exports.image->height() << ", " << sizeOf(imageFile) << ")\n"
               << "  " << files.cropped.string() << " (" << exports.cropped->width() << " x "
               << exports.cropped->height() << ", " << sizeOf(croppedFile) << ")\n"
               << "  " << files.data.string() << " (record " << plaintext.size()
               << " bytes, encrypted " << ciphertext.size() << " bytes)\n"
               << "  " << files.key.string() << " (" << exports.key.size() << " bytes, RSA-"
               << receiverKey.bits() << ")\n"
               << "  round trip verified: " << sampleCount(received) << " samples decrypted with "
               << options.privateKey.string() << " match the controller's strokes\n";
    }
    must(outputs.commitAll());
    outFolder.keep();
    warnOfDemo(plan, err);
    out << report.str();
    out << "wrote " << traces.size() * 5 << " files to " << options.out.string() << "\n";
    return 0;
}

}  // namespace penwell::tools
