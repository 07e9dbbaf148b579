// penwell pdf sign / verify: the command line over the PDF library (pdf/).

#include <cstdio>
#include <cstdlib>

#include "host/common/EvidenceInputs.h"
#include "host/common/HostServices.h"
#include "host/common/Replay.h"
#include "pdf/PdfSignature.h"
#include "platform/filesystem/StagedFile.h"
#include "receiver/Evidence.h"
#include "receiver/Limits.h"
#include "receiver/RestoredRecord.h"
#include "receiver/Signature.h"
#include "tools/Commands.h"
#include "tools/ToolError.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;
using namespace penwell::host;
using namespace penwell::receiver;

namespace {

template <typename T>
T orThrow(pdf::Outcome<T> outcome) {
    if (!outcome) {
        throw ToolError(outcome.error().message);
    }
    return std::move(*outcome);
}

/// The operator key, read once: it signs the PDF and the evidence made here.
SigningIdentity loadOperator(const PdfSignOptions& options) {
    return must(
        host::loadSigningIdentity(options.signKey, options.signCert, options.signPasswordFile));
}

/// The ink as the controller exports it for a document: vectors from the stroke painter, cut
/// to the ink.
const ExportOptions kInkPdf{ExportFormat::PDF, 1.0, true, false};

/// What the signature source gives the PDF: the ink's picture and the evidence record.
struct Signature {
    Bytes inkPdf;
    Bytes evidence;
};

/// What the evidence made here needs: the operator who signs the PDF signs it too, and it is
/// sealed for the recipients (none: the pinned certificate in the resource folder).
struct Sealer {
    SigningIdentity signer;
    std::vector<Bytes> recipients;
    std::filesystem::path resources;

    /// The evidence's options: bound to IN, signed by the operator key that signs the PDF.
    EvidenceOptions options(const Sha256& digest) const {
        EvidenceOptions evidence;
        evidence.documentSha256 = digest;
        evidence.signer = signer;
        evidence.recipients = recipients;
        return evidence;
    }
};

Signature fromTrace(const PdfSignOptions& options, const Sealer& sealer, const Sha256& digest,
                    std::ostream& err) {
    const Trace trace = must(loadTrace(*options.trace));
    for (const std::string& warning : traceWarnings(trace)) {
        err << "penwell: warning: " << warning << "\n";
    }
    ReplaySettings settings;
    settings.services.resources = sealer.resources;
    Replay replay(trace, settings);
    ExportRequest request;
    request.files.push_back(kInkPdf);
    request.evidence = sealer.options(digest);
    Exports exports;
    replay.run([&] { exports = must(takeExports(replay, trace, request, settings.services)); });
    return {std::move(exports.files.front().bytes), std::move(*exports.evidence)};
}

/// An evidence record made elsewhere: it must be bound to IN, and its ink is drawn from it.
Signature fromEvidence(const PdfSignOptions& options, const Sha256& digest) {
    const std::string name = options.evidence->string();
    Bytes evidence = must(readFile(*options.evidence, kMaxRecordBytes, "an evidence record"));
    const receiver::OpenedEvidence opened = must(openEvidenceRecord(
        evidence, name, receiverKey(*options.privateKey, options.privateKeyPasswordFile), digest));
    const EvidencePayload& payload = opened.payload;
    std::vector<ExportResult> ink =
        must(drawRecord(must(decodeRecord(payload.record, name)), name,
                        {payload.lineWidth, payload.smoothing, {}}, {kInkPdf}));
    return {std::move(ink.front().bytes), std::move(evidence)};
}

/// A record and its wrapped key: restored into a controller, which makes the evidence.
Signature fromRecord(const PdfSignOptions& options, const Sealer& sealer, const Sha256& digest) {
    const OpenedSignature opened =
        must(openSignature(receiverKey(*options.privateKey, options.privateKeyPasswordFile),
                           *options.data, *options.key));
    const EvidenceOptions evidence = sealer.options(digest);
    Signature signature;
    RestoreSettings settings;
    settings.services.resources = sealer.resources;  // the pin the evidence is sealed for
    must(withRestoredController(
        opened.record, options.data->string(), settings, [&](PenwellViewController& controller) {
            std::optional<ExportResult> ink = controller.exportSignature(kInkPdf);
            Result<Bytes> sealed = controller.exportEvidence(evidence);
            if (!ink) {
                throw ToolError(options.data->string() + ": the picture could not be made");
            }
            if (!sealed) {
                throw ToolError(sealed.error().message);
            }
            signature = {std::move(ink->bytes), std::move(*sealed)};
        }));
    return signature;
}

const char* yesNo(bool value) {
    return value ? "yes" : "NO";
}

}  // namespace

int runPdfSign(const PdfSignOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<NamedFile> inputs{{"IN", options.in}};
    if (!KeyLocation(options.signKey).onToken()) {
        inputs.push_back({"--sign-key", options.signKey});
    }
    for (const auto& [option, path] :
         {std::pair{"--sign-cert", &options.signCert}, std::pair{"--trace", &options.trace},
          std::pair{"--evidence", &options.evidence}, std::pair{"--data", &options.data},
          std::pair{"--key", &options.key}, std::pair{"--private-key", &options.privateKey}}) {
        if (*path) {
            inputs.push_back({option, **path});
        }
    }
    must(requireDistinctFiles({{"OUT", options.out}}, inputs));
    if (options.data.has_value() != options.key.has_value()) {
        throw ToolError(std::string(options.data ? "--data" : "--key") + ": needs " +
                        (options.data ? "--key" : "--data") + " too");
    }
    if (int(options.trace.has_value()) + int(options.evidence.has_value()) +
            int(options.data.has_value()) !=
        1) {
        throw ToolError("give exactly one signature: --trace T, --evidence E or --data D --key K");
    }
    if (options.trace ? options.privateKey.has_value() : !options.privateKey) {
        throw ToolError(options.trace ? "--private-key: only opens --evidence or --data"
                                      : "--private-key: needed to open --evidence or --data");
    }
    pdf::SignRequest request;
    request.placement = orThrow(pdf::placementOf(options.field, options.page, options.rect));
    request.reason = options.reason;
    request.location = options.location;
    request.name = options.name;
    // Evidence is sealed here for a trace or a record; an evidence record comes sealed.
    SealPlan plan = sealFor(options.seal, false, !options.evidence);
    Sealer sealer{loadOperator(options), std::move(plan.recipients),
                  options.resources ? *options.resources : installedResourceFolder()};
    const pdf::SigningIdentity identity = orThrow(pdf::SigningIdentity::fromOperator(
        sealer.signer, options.signKey.string(),
        options.signCert ? options.signCert->string() : options.signKey.string()));
    const Bytes in = must(readFile(options.in, pdf::kMaxDocumentBytes, "a PDF"));
    const Sha256 digest = must(documentDigest(in, options.in.string()));
    Signature signature = options.trace      ? fromTrace(options, sealer, digest, err)
                          : options.evidence ? fromEvidence(options, digest)
                                             : fromRecord(options, sealer, digest);
    request.inkPdf = std::move(signature.inkPdf);
    request.evidence = [&](const Sha256& signedDigest) -> pdf::Outcome<Bytes> {
        if (signedDigest != digest) {  // the library digests the same bytes: never
            return pdf::fail(pdf::PdfErrorKind::Evidence,
                             options.in.string() + ": changed while it was being signed");
        }
        return signature.evidence;
    };
    const Bytes signedPdf = orThrow(pdf::signPdf(in, options.in.string(), request, identity));
    StagedOutputs outputs;
    must(outputs.stage(options.out, signedPdf));
    must(outputs.commitAll());
    warnOfDemo(plan, err);
    out << options.out.string() << ": signed (" << signedPdf.size() - in.size()
        << " bytes appended to " << in.size() << ")\n";
    return 0;
}

int runPdfVerify(const PdfVerifyOptions& options, std::ostream& out) {
    const Bytes file = must(readFile(options.file, pdf::kMaxDocumentBytes, "a PDF"));
    pdf::VerifyOptions verify;
    if (options.trust) {
        verify.trust = must(readFile(*options.trust, kMaxKeyBytes, "a certificate"));
    }
    if (options.png && !options.privateKey) {
        throw ToolError("--png: needs --private-key to open the evidence");
    }
    std::vector<NamedFile> inputs{{"SIGNED", options.file}};
    for (const auto& [option, path] :
         {std::pair{"--private-key", &options.privateKey}, std::pair{"--trust", &options.trust}}) {
        if (*path) {
            inputs.push_back({option, **path});
        }
    }
    must(requireDistinctFiles(
        options.png ? std::vector<NamedFile>{{"--png", *options.png}} : std::vector<NamedFile>{},
        inputs));
    // The record last opened, the newest signature's when every one opens: what --png draws.
    std::optional<EvidencePayload> newest;
    if (options.privateKey) {
        const std::string name = options.file.string() + ": the embedded evidence";
        std::vector<std::filesystem::path> trust;
        if (options.trust) {
            trust.push_back(*options.trust);  // the operator signs the record and the PDF
        }
        verify.openEvidence = [&, name,
                               trust](ByteView bytes) -> pdf::Outcome<pdf::OpenedEvidence> {
            try {
                const receiver::OpenedEvidence opened =
                    must(openEvidenceRecord(
                        bytes, name, receiverKey(*options.privateKey, options.privateKeyPasswordFile),
                        std::nullopt, trust));
                const EvidencePayload& payload = opened.payload;
                if (!payload.documentSha256) {
                    return pdf::fail(pdf::PdfErrorKind::Evidence,
                                     name + " is bound to no document");
                }
                const PointRecord record = must(decodeRecord(payload.record, name));
                char summary[96];
                std::snprintf(summary, sizeof summary, "%zu strokes, %zu samples, writing %.3f s",
                              record.size(), sampleCount(record),
                              static_cast<double>(writingMilliseconds(record)) / 1000.0);
                newest = payload;
                return pdf::OpenedEvidence{*payload.documentSha256, summary};
            } catch (const ToolError& error) {
                return pdf::fail(pdf::PdfErrorKind::Evidence, error.what());
            }
        };
    }
    const std::vector<pdf::SignatureReport> reports =
        orThrow(pdf::verifyPdf(file, options.file.string(), verify));
    if (reports.empty()) {
        throw ToolError(options.file.string() + ": holds no signature");
    }
    // Staged before the listing, so a picture that cannot be made prints only its error.
    StagedOutputs outputs;
    if (options.png && newest) {
        const std::vector<ExportResult> ink = must(drawRecord(
            must(decodeRecord(newest->record, options.file.string())), options.file.string(),
            {newest->lineWidth, newest->smoothing, {}}, {{ExportFormat::PNG, 1.0, true, false}}));
        must(outputs.stage(*options.png, ink.front().bytes));
    }
    std::size_t failed = 0;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const pdf::SignatureReport& r = reports[i];
        out << "signature " << i + 1 << ": field " << r.field << "\n"
            << "  signer: " << (r.signer.empty() ? "unknown" : r.signer) << "\n"
            << "  time: " << (r.time.empty() ? "none" : r.time) << "\n"
            << "  covers: "
            << (r.coverage == pdf::Coverage::WholeDocument
                    ? "the whole document"
                    : "an earlier revision (" + std::to_string(r.signedBytes) + " of " +
                          std::to_string(file.size()) + " bytes)")
            << "\n"
            << "  digest and signature valid: " << yesNo(r.signatureValid) << "\n";
        if (!r.signatureProblem.empty()) {
            out << "  problem: " << r.signatureProblem << "\n";
        }
        out << "  signer trusted: " << (r.trusted ? yesNo(*r.trusted) : "not checked (no --trust)")
            << "\n"
            << "  only incremental updates after it: " << yesNo(r.onlyIncrementalAfter) << "\n";
        switch (r.evidence) {
            case pdf::EvidenceState::None:
                break;
            case pdf::EvidenceState::NotOpened:
                out << "  evidence: embedded (--private-key opens it)\n";
                break;
            case pdf::EvidenceState::Matches:
                out << "  evidence: bound to the signed revision; " << r.evidenceDetail << "\n";
                break;
            case pdf::EvidenceState::Refused:
                out << "  evidence: REFUSED: " << r.evidenceDetail << "\n";
                break;
        }
        failed += r.ok() ? 0 : 1;
    }
    if (failed > 0) {
        out << options.file.string() << ": " << failed << " of " << reports.size()
            << " signature(s) do not check out\n";
        return 1;
    }
    if (options.png && !newest) {
        out << "--png: " << options.file.string() << " holds no evidence record to draw\n";
        return 1;
    }
    must(outputs.commitAll());
    out << options.file.string() << ": all " << reports.size() << " signature(s) check out\n";
    if (options.png) {
        out << "wrote " << options.png->string() << "\n";
    }
    return 0;
}

}  // namespace penwell::tools
