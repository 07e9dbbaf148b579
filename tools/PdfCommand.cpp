// penwell pdf sign: the command line over the PDF library (pdf/).

#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "penwell/host/common/EvidenceInputs.h"
#include "penwell/host/common/HostServices.h"
#include "penwell/host/common/Replay.h"
#include "penwell/host/common/SignatureBundle.h"
#include "penwell/platform/cairo/CairoGraphics.h"
#include "penwell/pdf/LongTerm.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/curl/CurlHttpClient.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/OpenEvidence.h"
#include "penwell/receiver/Limits.h"
#include "penwell/receiver/draw/RestoredRecord.h"
#include "penwell/receiver/OpenSignature.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

// The libraries under the commands: they answer failures as values, must() prints them.
using namespace penwell::filesystem;
using namespace penwell::host;
using namespace penwell::receiver;

namespace {

/// The largest --trust, --ocsp or --crl file read: a CA's full CRL can run to megabytes.
constexpr std::uint64_t kMaxValidationFileBytes = 64u << 20;

/// The folder the receiver's certificate (Penwell.dat) is read from, refused when it holds
/// none and the evidence is sealed for it (no --recipient).
std::filesystem::path resourceFolder(const PdfSignOptions& options, bool pinned) {
    const std::filesystem::path folder =
        options.resources ? *options.resources : installedResourceFolder();
    std::error_code ec;
    if (pinned && !std::filesystem::is_regular_file(folder / "Penwell.dat", ec)) {
        throw ToolError((folder / "Penwell.dat").string() +
                        ": no receiver certificate there, and the evidence is sealed for it; give "
                        "--recipient, --resources or PENWELL_RESOURCES (a build tree has none: "
                        "demo-certificate/ of the sources has the demo's)");
    }
    return folder;
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

    /// What the signature gives the PDF, through the one export service: the ink's picture
    /// and the evidence, bound to IN and signed by the operator key that signs the PDF.
    BundleSettings bundle(const Sha256& digest, const std::string& name) const {
        BundleSettings settings;
        settings.record = settings.picture = false;
        settings.files = {kInkPdf};
        settings.documentSha256 = digest;
        settings.signer = signer;
        settings.recipients = recipients;
        settings.name = name;
        settings.resources = resources;
        return settings;
    }
};

Signature signatureOf(SignatureBundle bundle) {
    return {std::move(bundle.files.front().bytes), std::move(bundle.evidence)};
}

Signature fromTrace(const PdfSignOptions& options, const Sealer& sealer, const Sha256& digest,
                    std::ostream& err) {
    const Trace trace = must(loadTrace(*options.trace));
    for (const std::string& warning : traceWarnings(trace)) {
        err << "penwell: warning: " << warning << "\n";
    }
    ReplaySettings settings;
    settings.services.resources = sealer.resources;
    Replay replay(trace, settings);
    Signature signature;
    replay.run([&] {
        signature = signatureOf(must(exportBundle(replay.controller(), replay.graphics(),
                                                  sealer.bundle(digest, trace.name))));
    });
    return signature;
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
    const BundleSettings bundle = sealer.bundle(digest, options.data->string());
    Signature signature;
    RestoreSettings settings;
    settings.services.resources = sealer.resources;  // the pin the evidence is sealed for
    std::optional<Failure> failed;
    must(withRestoredController(
        opened.record, options.data->string(), settings, [&](PenwellViewController& controller) {
            Result<SignatureBundle> made = exportBundle(controller, *cairo::makeGraphics(), bundle);
            if (!made) {
                failed = made.error();
                return;
            }
            signature = signatureOf(std::move(*made));
        }));
    must(failed);
    return signature;
}

/// The level --level asks for, checked against what reaching it needs.
enum class Level { B, T, LT, LTA };

/// `tsa`: whether a TSA was given; `signing`: for pdf sign, where it time-stamps the
/// signature (B-T and up), rather than pdf augment.
Level levelOf(const LongTermOptions& options, bool tsa, bool signing) {
    const std::string level = options.level.value_or(tsa ? "B-T" : "B-B");
    const Level wanted = level == "B-B"     ? Level::B
                         : level == "B-T"   ? Level::T
                         : level == "B-LT"  ? Level::LT
                         : level == "B-LTA" ? Level::LTA
                                            : throw UsageError("--level " + level +
                                                               ": expected B-B, B-T, B-LT or "
                                                               "B-LTA");
    if (signing && wanted >= Level::T && !tsa) {
        throw UsageError("--level " + level + ": needs --tsa URL");
    }
    if (signing && wanted < Level::T && tsa) {
        throw UsageError("--tsa: time-stamps the signature, which is B-T at least");
    }
    if (wanted >= Level::LT && options.trust.empty()) {
        throw UsageError("--level " + level + ": needs --trust, where the chains end");
    }
    if (wanted < Level::LT && !(options.trust.empty() && options.ocsp.empty() && options.crls.empty())) {
        throw UsageError("--trust, --ocsp and --crl: only for --level B-LT or B-LTA");
    }
    return wanted;
}

/// The validation data's sources: the files read, and the network for the rest.
pdf::ValidationSources sourcesOf(const LongTermOptions& options) {
    pdf::ValidationSources sources;
    for (const auto& [files, into, what] :
         {std::tuple{&options.trust, &sources.trust, "certificates"},
          std::tuple{&options.ocsp, &sources.ocsp, "an OCSP answer"},
          std::tuple{&options.crls, &sources.crls, "a CRL"}}) {
        for (const std::filesystem::path& file : *files) {
            into->push_back(must(readFile(file, kMaxValidationFileBytes, what)));
        }
    }
    sources.http = std::make_shared<curl::CurlHttpClient>();
    return sources;
}

/// `file` with the validation data of its signatures, and for B-LTA a document time-stamp.
Bytes raised(const Bytes& file, const std::string& name, Level level,
             const LongTermOptions& options, const pdf::TimestampAuthority& tsa) {
    if (level == Level::LTA) {
        return must(pdf::addValidationDataAndTimestamp(file, name, sourcesOf(options), tsa));
    }
    return must(pdf::addValidationData(file, name, sourcesOf(options)));
}

}  // namespace

int runPdfAugment(const PdfAugmentOptions& options, std::ostream& out) {
    const Level level = levelOf(options.longTerm, options.tsa.has_value(), false);
    if (level < Level::LT) {
        throw UsageError("--level: augment raises to B-LT or B-LTA");
    }
    if (level == Level::LT && options.tsa) {
        throw UsageError("--tsa: only for --level B-LTA, whose document time-stamp it makes");
    }
    if (level == Level::LTA && !options.tsa) {
        throw UsageError("--level B-LTA: needs --tsa URL for the document time-stamp");
    }
    must(requireDistinctFiles({{"OUT", options.out}}, {{"IN", options.in}}));
    std::error_code ec;
    if (!options.force && std::filesystem::exists(options.out, ec)) {
        throw ToolError(options.out.string() + ": exists already (--force replaces it)");
    }
    const Bytes in = must(readFile(options.in, pdf::kMaxDocumentBytes, "a PDF"));
    const pdf::TimestampAuthority tsa{options.tsa.value_or(""),
                                      std::make_shared<curl::CurlHttpClient>()};
    const Bytes raisedPdf = raised(in, options.in.string(), level, options.longTerm, tsa);
    StagedOutputs outputs;
    must(outputs.stage(options.out, raisedPdf));
    must(outputs.commitAll());
    out << options.out.string() << ": " << *options.longTerm.level << " ("
        << raisedPdf.size() - in.size() << " bytes appended to " << in.size() << ")\n";
    return 0;
}

int runPdfSign(const PdfSignOptions& options, std::ostream& out, std::ostream& err) {
    if (!options.sign.key) {  // the command line requires it; a caller in code may forget
        throw UsageError("needs --sign-key: the PDF is signed with the operator key");
    }
    const host::DocumentRequest& place = options.in;
    std::vector<NamedFile> inputs{{"IN", place.file}};
    if (!KeyLocation(*options.sign.key).onToken()) {
        inputs.push_back({"--sign-key", *options.sign.key});
    }
    for (const auto& [option, path] :
         {std::pair{"--sign-cert", &options.sign.certificate},
          std::pair{"--sign-chain", &options.sign.chain}, std::pair{"--trace", &options.trace},
          std::pair{"--evidence", &options.evidence}, std::pair{"--data", &options.data},
          std::pair{"--key", &options.key}, std::pair{"--private-key", &options.privateKey}}) {
        if (*path) {
            inputs.push_back({option, **path});
        }
    }
    must(requireDistinctFiles({{"OUT", options.out}}, inputs));
    std::error_code ec;
    if (!options.force && std::filesystem::exists(options.out, ec)) {
        // IN and OUT swapped would otherwise overwrite the signed copy.
        throw ToolError(options.out.string() + ": exists already (--force replaces it)");
    }
    if (options.data.has_value() != options.key.has_value()) {
        throw UsageError(std::string(options.data ? "--data" : "--key") + ": needs " +
                         (options.data ? "--key" : "--data") + " too");
    }
    if (int(options.trace.has_value()) + int(options.evidence.has_value()) +
            int(options.data.has_value()) !=
        1) {
        throw UsageError("give exactly one signature: --trace T, --evidence E or --data D --key K");
    }
    if (options.trace ? options.privateKey.has_value() : !options.privateKey) {
        throw UsageError(options.trace ? "--private-key: only opens --evidence or --data"
                                       : "--private-key: needed to open --evidence or --data");
    }
    pdf::SignRequest request;
    request.placement = must(pdf::placementOf(place.field, place.page, place.rect), kExitUsage);
    request.reason = place.reason;
    request.location = place.location;
    request.name = place.name;
    request.certify = place.certify;
    const Level level = levelOf(options.longTerm, options.tsa.has_value(), true);
    if (options.tsa) {
        request.timestamp =
            pdf::TimestampAuthority{*options.tsa, std::make_shared<curl::CurlHttpClient>()};
    }
    request.warn = [&err](const std::string& warning) {
        err << "penwell: warning: " << warning << "\n";
    };
    // Evidence is sealed here for a trace or a record; an evidence record comes sealed.
    SealPlan plan = sealFor(options.seal, false, !options.evidence);
    const bool pinned = !options.evidence && plan.recipients.empty();
    // The operator key, read once: it signs the PDF and the evidence made here.
    Sealer sealer{*loadSigningIdentity(options.sign), std::move(plan.recipients),
                  resourceFolder(options, pinned)};
    const pdf::SigningIdentity identity = must(pdf::SigningIdentity::fromOperator(
        sealer.signer, options.sign.key->string(),
        options.sign.certificate ? options.sign.certificate->string()
                                 : options.sign.key->string()));
    const Bytes in = must(readFile(place.file, pdf::kMaxDocumentBytes, "a PDF"));
    const Sha256 digest = must(documentDigest(in, place.file.string()));
    Signature signature = options.trace      ? fromTrace(options, sealer, digest, err)
                          : options.evidence ? fromEvidence(options, digest)
                                             : fromRecord(options, sealer, digest);
    request.inkPdf = std::move(signature.inkPdf);
    request.evidence = [&](const Sha256& signedDigest) -> Result<Bytes> {
        if (signedDigest != digest) {  // the library digests the same bytes: never
            return pdf::fail(pdf::PdfErrorKind::Evidence,
                             place.file.string() + ": changed while it was being signed");
        }
        return signature.evidence;
    };
    // A long-term level is written in the same pass as the signature: the document is read
    // and copied once.
    const Bytes signedPdf =
        level >= Level::LT
            ? must(pdf::signPdf(in, place.file.string(), request, identity,
                                {sourcesOf(options.longTerm),
                                 level == Level::LTA ? request.timestamp : std::nullopt}))
            : must(pdf::signPdf(in, place.file.string(), request, identity));
    StagedOutputs outputs;
    must(outputs.stage(options.out, signedPdf));
    must(outputs.commitAll());
    warnOfDemo(plan, err);
    out << options.out.string() << ": signed (" << signedPdf.size() - in.size()
        << " bytes appended to " << in.size() << ")\n";
    return 0;
}

}  // namespace penwell::tools
