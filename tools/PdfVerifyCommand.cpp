// penwell pdf verify: every signature of a PDF, checked by the PDF library (pdf/), its
// evidence opened by the receiver library; as text or as JSON, with one exit code.

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

#include "penwell/host/common/Replay.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/platform/filesystem/StagedFile.h"
#include "penwell/receiver/OpenEvidence.h"
#include "penwell/receiver/Limits.h"
#include "penwell/receiver/draw/RestoredRecord.h"
#include "penwell/receiver/OpenSignature.h"
#include "penwell/service/AuditTrailFile.h"
#include "penwell/tools/Commands.h"
#include "penwell/tools/PdfAuditTrail.h"
#include "penwell/tools/ToolError.h"

namespace penwell::tools {

using namespace penwell::filesystem;
using namespace penwell::receiver;

namespace {

const char* yesNo(bool value) {
    return value ? "yes" : "NO";
}

/// The record's summary line, or why it cannot be opened; `newest` keeps the payload last
/// opened, for --png.
pdf::EvidenceOpener evidenceOpener(const PdfVerifyOptions& options,
                                   std::optional<EvidencePayload>& newest) {
    const std::string name = options.file.string() + ": the embedded evidence";
    // The operator signs the record and the PDF: every certificate that vouches for a
    // signature may vouch for a record.
    return [&options, &newest, name](ByteView bytes) -> Result<pdf::OpenedEvidence> {
        // The report shows why the evidence did not open; the signature is checked all the same.
        const auto refused = [](const Failure& failure) {
            return pdf::fail(pdf::PdfErrorKind::Evidence, failure.message);
        };
        const Result<receiver::OpenedEvidence> opened = openEvidenceRecord(
            bytes, name, receiverKey(*options.privateKey, options.privateKeyPasswordFile),
            std::nullopt, options.trust);
        if (!opened) {
            return refused(opened.error());
        }
        const EvidencePayload& payload = opened->payload;
        if (!payload.documentSha256) {
            return pdf::fail(pdf::PdfErrorKind::Evidence, name + " is bound to no document");
        }
        const Result<PointRecord> record = decodeRecord(payload.record, name);
        if (!record) {
            return refused(record.error());
        }
        char summary[96];
        std::snprintf(summary, sizeof summary, "%zu strokes, %zu samples, writing %.3f s",
                      record->size(), sampleCount(*record),
                      static_cast<double>(writingMilliseconds(*record)) / 1000.0);
        newest = payload;
        pdf::OpenedEvidence found{*payload.documentSha256, summary, {}};
        for (const EvidenceField& field : payload.fields) {
            found.fields.emplace_back(field.name, field.value);
        }
        return found;
    };
}

std::string coverage(const pdf::SignatureReport& r, std::size_t fileBytes) {
    return r.coverage == pdf::Coverage::WholeDocument
               ? "the whole document"
               : "an earlier revision (" + std::to_string(r.signedBytes) + " of " +
                     std::to_string(fileBytes) + " bytes)";
}

std::string certification(int permissions) {
    static const char* allowed[] = {"", "no changes", "form filling and signing",
                                    "form filling, signing and annotations"};
    return "P = " + std::to_string(permissions) + " (" + allowed[permissions] +
           " allowed after it)";
}

/// `text` as a JSON string on one line; bytes that are not UTF-8 are replaced.
std::string jsonString(const std::string& text) {
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void printReport(std::size_t index, const pdf::SignatureReport& r, std::size_t fileBytes,
                 std::ostream& out) {
    out << "signature " << index << ": field " << r.field << "\n"
        << "  signer: " << (r.signer.empty() ? "unknown" : r.signer) << "\n"
        << "  time: " << (r.time.empty() ? "none" : r.time) << "\n";
    if (r.documentTimestamp) {
        out << "  document time-stamp: " << (r.timestampTime.empty() ? "unreadable" : r.timestampTime)
            << "\n";
    } else if (!r.level.empty()) {
        out << "  level: " << r.level << "\n";
    }
    if (!r.documentTimestamp && !r.timestampTime.empty()) {
        out << "  time-stamped: " << r.timestampTime << "\n";
    }
    out
        << "  covers: " << coverage(r, fileBytes) << "\n"
        << "  digest and signature valid: " << yesNo(r.signatureValid) << "\n";
    if (!r.signatureProblem.empty()) {
        out << "  problem: " << r.signatureProblem << "\n";
    }
    out << "  signer trusted: " << (r.trusted ? yesNo(*r.trusted) : "not checked (no --trust)")
        << "\n";
    if (!r.judgedAt.empty()) {
        out << "  judged as of: " << r.judgedAt << "\n";
    }
    out
        << "  only incremental updates after it: " << yesNo(r.onlyIncrementalAfter) << "\n";
    if (r.certification) {
        out << "  certifies the document: " << certification(*r.certification) << "\n";
    }
    if (!r.locks.empty()) {
        out << "  locks: " << r.locks << "\n";
    }
    if (r.signatureValid) {
        out << "  changes after it: " << pdf::describe(r.modifications) << "\n";
    }
    for (const std::string& change : r.disallowed) {
        out << "  modified after signing: " << change << "\n";
    }
    switch (r.evidence) {
        case pdf::EvidenceState::None:
            break;
        case pdf::EvidenceState::NotOpened:
            out << "  evidence: embedded (--private-key opens it)\n";
            break;
        case pdf::EvidenceState::Matches:
            out << "  evidence: bound to the signed revision; " << r.evidenceDetail << "\n";
            // As JSON strings: a value cannot start a line of its own and pass for another.
            for (const auto& [name, value] : r.evidenceFields) {
                out << "    " << jsonString(name) << ": " << jsonString(value) << "\n";
            }
            break;
        case pdf::EvidenceState::Refused:
            out << "  evidence: REFUSED: " << r.evidenceDetail << "\n";
            break;
    }
}

nlohmann::json evidenceFieldsJson(const std::vector<std::pair<std::string, std::string>>& fields) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [name, value] : fields) {
        out[name] = value;
    }
    return out;
}

nlohmann::json reportJson(const pdf::SignatureReport& r) {
    const auto text = [](const std::string& s) {
        return s.empty() ? nlohmann::json() : nlohmann::json(s);
    };
    static const char* states[] = {"none", "embedded", "bound", "refused"};
    return {
        {"field", r.field},
        {"signer", text(r.signer)},
        {"time", text(r.time)},
        {"sub_filter", text(r.subFilter)},
        {"document_timestamp", r.documentTimestamp},
        {"level", text(r.level)},
        {"timestamp_time", text(r.timestampTime)},
        {"covers",
         r.coverage == pdf::Coverage::WholeDocument ? "whole document" : "earlier revision"},
        {"signed_bytes", r.signedBytes},
        {"signature_valid", r.signatureValid},
        {"problem", text(r.signatureProblem)},
        {"trusted", r.trusted ? nlohmann::json(*r.trusted) : nlohmann::json()},
        {"judged_at", text(r.judgedAt)},
        {"only_incremental_updates_after", r.onlyIncrementalAfter},
        {"certification", r.certification ? nlohmann::json(*r.certification) : nlohmann::json()},
        {"locks", text(r.locks)},
        {"modifications", pdf::describe(r.modifications)},
        {"modified_after_signing", r.disallowed},
        {"evidence",
         {{"state", states[static_cast<int>(r.evidence)]},
          {"detail", text(r.evidenceDetail)},
          {"fields", evidenceFieldsJson(r.evidenceFields)}}},
        {"ok", r.ok()}};
}

void printTrail(const TrailReport& trail, std::ostream& out) {
    out << "audit trail: " << service::kAuditTrailFileName;
    if (!trail.requestId.empty() || !trail.events.empty()) {
        out << ", request " << service::quoted(trail.requestId) << ", " << trail.events.size()
            << " event(s)";
    }
    out << "\n";
    for (const service::AuditEvent& event : trail.events) {
        out << "  " << service::describeEvent(event) << "\n";
    }
    out << "  associated with the document: " << yesNo(trail.associated) << "\n"
        << "  covered by: "
        << (trail.sealedBy.empty() ? "NO valid signature" : "the signature in field " + trail.sealedBy)
        << "\n"
        << "  checks out: " << (trail.ok() ? "yes: its chain is intact" : "NO: " + trail.problem)
        << "\n";
}

nlohmann::json trailJson(const TrailReport& trail) {
    if (!trail.present) {
        return nullptr;
    }
    nlohmann::json events = nlohmann::json::array();
    for (const service::AuditEvent& event : trail.events) {
        events.push_back(service::describeEvent(event));
    }
    return {{"file", service::kAuditTrailFileName},
            {"request", trail.requestId},
            {"events", events},
            {"associated", trail.associated},
            {"covered_by", trail.sealedBy.empty() ? nlohmann::json() : nlohmann::json(trail.sealedBy)},
            {"problem", trail.problem.empty() ? nlohmann::json() : nlohmann::json(trail.problem)},
            {"ok", trail.ok()}};
}

/// "YYYY-MM-DD" (midnight) or "YYYY-MM-DDTHH:MM:SSZ" as seconds since the epoch, UTC.
std::int64_t validationTime(const std::string& text) {
    std::tm when{};
    const char* end = nullptr;
    if (text.size() == 10) {
        end = strptime(text.c_str(), "%Y-%m-%d", &when);
    } else if (text.size() == 20) {
        end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &when);
    }
    std::tm read = when;
    const std::time_t seconds = end != nullptr && *end == '\0' ? timegm(&when) : -1;
    std::tm back{};
    // timegm() carries 2027-02-31 into March; a day that does not exist is a typing error.
    if (seconds < 0 || gmtime_r(&seconds, &back) == nullptr || back.tm_mday != read.tm_mday ||
        back.tm_mon != read.tm_mon || back.tm_hour != read.tm_hour) {
        throw UsageError("--at " + text +
                         ": not a time; give YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ (UTC)");
    }
    return static_cast<std::int64_t>(seconds);
}

}  // namespace

int runPdfVerify(const PdfVerifyOptions& options, std::ostream& out) {
    pdf::VerifyOptions verify;
    if (options.offline) {
        if (options.trust.empty()) {
            throw UsageError("--offline: needs --trust, where the chains end");
        }
        verify.at = options.at ? validationTime(*options.at) : std::time(nullptr);
    }
    const Bytes file = must(readFile(options.file, pdf::kMaxDocumentBytes, "a PDF"));
    for (const std::filesystem::path& trusted : options.trust) {
        verify.trust.push_back(must(readFile(trusted, kMaxKeyBytes, "a certificate")));
    }
    if (options.png && !options.privateKey) {
        throw UsageError("--png: needs --private-key to open the evidence");
    }
    std::vector<NamedFile> inputs{{"SIGNED", options.file}};
    if (options.privateKey) {
        inputs.push_back({"--private-key", *options.privateKey});
    }
    for (const std::filesystem::path& trusted : options.trust) {
        inputs.push_back({"--trust", trusted});
    }
    must(requireDistinctFiles(
        options.png ? std::vector<NamedFile>{{"--png", *options.png}} : std::vector<NamedFile>{},
        inputs));
    // The record last opened, the newest signature's when every one opens: what --png draws.
    std::optional<EvidencePayload> newest;
    if (options.privateKey) {
        verify.openEvidence = evidenceOpener(options, newest);
    }
    const std::vector<pdf::SignatureReport> reports =
        must(pdf::verifyPdf(file, options.file.string(), verify));
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
    for (const pdf::SignatureReport& r : reports) {
        failed += r.ok() ? 0 : 1;
    }
    const std::string name = options.file.string();
    const TrailReport trail = checkTrail(file, name, reports);
    std::string verdict;
    int status = 0;
    if (failed > 0 || !trail.ok()) {
        if (failed > 0) {
            verdict = std::to_string(failed) + " of " + std::to_string(reports.size()) +
                      " signature(s) do not check out";
        }
        if (!trail.ok()) {
            verdict += (verdict.empty() ? "" : "; ") + std::string("the audit trail does not check out: ") +
                       trail.problem;
        }
        status = 1;
    } else if (options.png && !newest) {
        verdict = "holds no evidence record for --png to draw";
        status = 1;
    } else if (options.trust.empty()) {
        // Integrity is not trust: a script must not take one for the other.
        verdict = "intact; signers not checked (no --trust)";
        status = kPdfIntactUntrusted;
    } else {
        verdict = "all " + std::to_string(reports.size()) + " signature(s) check out";
        if (verify.at) {
            verdict += " as of " + pdf::utcText(static_cast<std::time_t>(*verify.at)) +
                       ", from what the file carries";
        }
    }
    if (status != 1) {
        must(outputs.commitAll());
    }
    if (options.json) {
        nlohmann::json signatures = nlohmann::json::array();
        for (const pdf::SignatureReport& r : reports) {
            signatures.push_back(reportJson(r));
        }
        out << nlohmann::json{{"file", name},
                              {"bytes", file.size()},
                              {"signatures", signatures},
                              {"audit_trail", trailJson(trail)},
                              {"verdict", verdict},
                              {"exit_code", status}}
                   // A hostile file's texts need not be UTF-8; the listing never fails on them.
                   .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
            << "\n";
        return status;
    }
    for (std::size_t i = 0; i < reports.size(); ++i) {
        printReport(i + 1, reports[i], file.size(), out);
    }
    if (trail.present) {
        printTrail(trail, out);
    }
    out << name << ": " << verdict << "\n";
    if (options.png && status != 1) {
        out << "wrote " << options.png->string() << "\n";
    }
    return status;
}

}  // namespace penwell::tools
