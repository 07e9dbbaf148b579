// penwell pdf sign / verify: the command line over the PDF library (pdf/).

#include <cstdlib>
#include <sstream>

#include "pdf/PdfSignature.h"
#include "tools/Commands.h"
#include "tools/Limits.h"
#include "tools/Replay.h"
#include "tools/StagedFile.h"
#include "tools/ToolError.h"
#include "tools/ToolServices.h"

namespace penwell::tools {

namespace {

template <typename T>
T orThrow(pdf::Outcome<T> outcome) {
    if (!outcome) {
        throw ToolError(outcome.error().message);
    }
    return std::move(*outcome);
}

pdf::PagePlacement parseRect(const std::string& text, int page) {
    pdf::PagePlacement placement{page};
    double* fields[] = {&placement.x, &placement.y, &placement.width, &placement.height};
    std::istringstream in(text);
    char comma = ',';
    for (std::size_t i = 0; i < 4; ++i) {
        if ((i > 0 && !(in >> comma)) || comma != ',' || !(in >> *fields[i])) {
            throw ToolError("--rect " + text + ": expected X,Y,W,H in points");
        }
    }
    if (!(in >> std::ws).eof()) {
        throw ToolError("--rect " + text + ": expected X,Y,W,H in points");
    }
    return placement;
}

pdf::SigningIdentity loadIdentity(const PdfSignOptions& options) {
    const Bytes key = readFile(options.signKey, kMaxKeyBytes, "a signing key");
    if (options.signCert) {
        const Bytes certificate = readFile(*options.signCert, kMaxKeyBytes, "a certificate");
        return orThrow(pdf::SigningIdentity::fromPem(key, options.signKey.string(), certificate,
                                                     options.signCert->string()));
    }
    const char* password = std::getenv("PENWELL_SIGN_PASSWORD");
    return orThrow(
        pdf::SigningIdentity::fromPkcs12(key, password ? password : "", options.signKey.string()));
}

/// The handwriting of the trace, as the controller exports it for a document: vectors from
/// the stroke painter, cut to the ink.
Bytes inkPdf(const Trace& trace) {
    ReplaySettings settings;
    settings.services.resources = toolResourceFolder();
    Replay replay(trace, settings);
    ExportRequest request;
    request.files.push_back({ExportFormat::PDF, 1.0, true, false});
    Exports exports;
    replay.run([&] { exports = takeExports(replay, trace, request, settings.services); });
    return std::move(exports.files.front().bytes);
}

const char* yesNo(bool value) {
    return value ? "yes" : "NO";
}

}  // namespace

int runPdfSign(const PdfSignOptions& options, std::ostream& out, std::ostream& err) {
    std::vector<NamedFile> inputs{
        {"IN", options.in}, {"--trace", options.trace}, {"--sign-key", options.signKey}};
    if (options.signCert) {
        inputs.push_back({"--sign-cert", *options.signCert});
    }
    requireDistinctFiles({{"OUT", options.out}}, inputs);
    if (options.field.has_value() == options.rect.has_value()) {
        throw ToolError("give either --field NAME or --page N --rect X,Y,W,H");
    }
    pdf::SignRequest request;
    if (options.field) {
        request.placement = pdf::FieldPlacement{*options.field};
    } else {
        request.placement = parseRect(*options.rect, options.page);
    }
    request.reason = options.reason;
    request.location = options.location;
    request.name = options.name;
    const pdf::SigningIdentity identity = loadIdentity(options);
    const Bytes in = readFile(options.in, pdf::kMaxDocumentBytes, "a PDF");
    const Trace trace = loadTrace(options.trace);
    for (const std::string& warning : traceWarnings(trace)) {
        err << "penwell: warning: " << warning << "\n";
    }
    request.inkPdf = inkPdf(trace);
    const Bytes signedPdf = orThrow(pdf::signPdf(in, options.in.string(), request, identity));
    StagedOutputs outputs;
    outputs.add(options.out).write(signedPdf);
    outputs.commitAll();
    out << options.out.string() << ": signed (" << signedPdf.size() - in.size()
        << " bytes appended to " << in.size() << ")\n";
    return 0;
}

int runPdfVerify(const PdfVerifyOptions& options, std::ostream& out) {
    const Bytes file = readFile(options.file, pdf::kMaxDocumentBytes, "a PDF");
    pdf::VerifyOptions verify;
    if (options.trust) {
        verify.trust = readFile(*options.trust, kMaxKeyBytes, "a certificate");
    }
    if (options.privateKey) {
        verify.openEvidence = [](ByteView) -> pdf::Outcome<pdf::OpenedEvidence> {
            return pdf::fail(pdf::PdfErrorKind::Evidence,
                             "this build cannot open evidence records yet");
        };
    }
    const std::vector<pdf::SignatureReport> reports =
        orThrow(pdf::verifyPdf(file, options.file.string(), verify));
    if (reports.empty()) {
        throw ToolError(options.file.string() + ": holds no signature");
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
    out << options.file.string() << ": all " << reports.size() << " signature(s) check out\n";
    return 0;
}

}  // namespace penwell::tools
