#include "penwell/tools/VerifyInput.h"

#include "penwell/host/common/Replay.h"
#include "penwell/host/common/Trace.h"
#include "penwell/receiver/OpenEvidence.h"
#include "penwell/receiver/OpenSignature.h"
#include "penwell/secure/StrokeRecord.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::host;
using namespace penwell::receiver;

verify::Signature signatureOf(const std::vector<Stroke>& lines, std::string name) {
    verify::Signature signature;
    signature.name = std::move(name);
    for (const Stroke& stroke : lines) {
        verify::Stroke out;
        out.samples.reserve(stroke.size());
        for (const _point& p : stroke) {
            out.samples.push_back(
                {p.CGPointValue().x, p.CGPointValue().y, p.Pressure(), p.Timestamp()});
        }
        signature.strokes.push_back(std::move(out));
    }
    return signature;
}

verify::Signature signatureOf(const PointRecord& record, std::string name) {
    return signatureOf(strokesOf(record), std::move(name));
}

verify::Signature signatureOfTrace(const std::filesystem::path& file) {
    const Trace trace = must(loadTrace(file));
    Replay replay(trace, ReplaySettings{});
    replay.run([] {});
    return signatureOf(replay.controller().lines(), file.string());
}

bool isSignatureFile(const std::filesystem::path& file) {
    const auto extension = file.extension();
    return extension == ".json" || extension == ".data" || extension == ".evidence";
}

verify::Signature loadSignature(const std::filesystem::path& file,
                                const std::optional<std::filesystem::path>& privateKey) {
    const auto extension = file.extension();
    if (extension == ".json") {
        return signatureOfTrace(file);
    }
    if (extension == ".data") {
        if (!privateKey) {
            throw ToolError(file.string() + ": a record needs the receiver's --private-key");
        }
        std::filesystem::path key = file;
        key.replace_extension(".key");
        const OpenedSignature opened = must(openSignature(*privateKey, file, key));
        return signatureOf(opened.record, file.string());
    }
    if (extension == ".evidence") {
        if (!privateKey) {
            throw ToolError(file.string() +
                            ": an evidence record needs the receiver's --private-key");
        }
        // Bound to whatever document it names: the handwriting is compared, not the document.
        const receiver::OpenedEvidence opened =
            must(openEvidenceFile(file, *privateKey, std::nullopt));
        return signatureOf(must(decodeRecord(opened.payload.record, file.string())), file.string());
    }
    throw ToolError(file.string() +
                    ": not a signature file (a trace NAME.json, a record NAME.data with "
                    "NAME.key beside it, or an evidence record NAME.evidence)");
}

}  // namespace penwell::tools
