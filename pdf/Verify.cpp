// Verifying: every signature field's /ByteRange is checked against the file's own bytes, its
// CMS against those bytes, the bytes after its revision against the cross-reference chain,
// and a Penwell signature's evidence against the revision it was made on.

#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <algorithm>
#include <initializer_list>
#include <map>
#include <set>

#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/Document.h"
#include "penwell/pdf/LongTermReport.h"
#include "penwell/pdf/Modifications.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Permissions.h"
#include "penwell/pdf/Revisions.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/pdf/Values.h"
#include "penwell/platform/Hex.h"

namespace penwell::pdf {

namespace {

/// The most signatures checked in one document: each one hashes up to the whole file, so
/// without a bound a document of many fields sharing one huge range would take hours.
constexpr std::size_t kMaxSignatures = 64;

/// The largest embedded evidence read: a record of two million samples is about 32 MiB.
constexpr std::size_t kMaxEvidenceBytes = 64u << 20;

/// The steps (objects and values visited) all modification analyses of one document may take
/// together: a form of ten thousand objects signed a dozen times takes about a tenth of it.
/// Past it a signature is reported as changed beyond its permissions, never as unchanged.
constexpr std::size_t kAnalysisBudget = 16u << 20;

struct Range {
    std::uint64_t gapStart = 0, gapEnd = 0, end = 0;
};

/// The byte range, when it is [0 a b c] with the gap exactly the /Contents hex string, or why
/// not.
std::variant<Range, std::string> byteRange(QPDFObjectHandle signature, ByteView file) {
    QPDFObjectHandle array = signature.getKey("/ByteRange");
    if (!array.isArray() || array.getArrayNItems() != 4) {
        return std::string("/ByteRange is not four numbers");
    }
    long long n[4];
    for (int i = 0; i < 4; ++i) {
        QPDFObjectHandle item = array.getArrayItem(i);
        if (!item.isInteger() || item.getIntValue() < 0 ||
            static_cast<unsigned long long>(item.getIntValue()) > file.size()) {
            return std::string("/ByteRange holds a number outside the file");
        }
        n[i] = item.getIntValue();
    }
    const Range r{static_cast<std::uint64_t>(n[1]), static_cast<std::uint64_t>(n[2]),
                  static_cast<std::uint64_t>(n[2] + n[3])};
    if (n[0] != 0 || r.gapStart + 2 > r.gapEnd || r.end > file.size()) {
        return std::string("/ByteRange does not start the file and leave a gap");
    }
    if (file[r.gapStart] != '<' || file[r.gapEnd - 1] != '>' || (r.gapEnd - r.gapStart) % 2 != 0) {
        return std::string("/ByteRange leaves out something other than a hex string");
    }
    QPDFObjectHandle contents = signature.getKey("/Contents");
    const std::string value = contents.isString() ? contents.getStringValue() : std::string();
    if (value.size() * 2 + 2 != r.gapEnd - r.gapStart) {
        return std::string("/ByteRange leaves out something other than /Contents");
    }
    for (std::size_t i = 0; i < value.size(); ++i) {
        const int hi = hexDigitValue(static_cast<char>(file[r.gapStart + 1 + 2 * i]));
        const int lo = hexDigitValue(static_cast<char>(file[r.gapStart + 2 + 2 * i]));
        if (hi < 0 || lo < 0 || static_cast<char>(hi * 16 + lo) != value[i]) {
            return std::string("/ByteRange leaves out something other than /Contents");
        }
    }
    return r;
}

/// Whether the bytes after [0, end) are a chain of updates over that revision: it ends with
/// %%EOF, and following /Prev back from the file's last section reaches that revision's own
/// section through sections that all lie after it.
bool onlyUpdatesAfter(ByteView file, std::uint64_t end,
                      const std::optional<std::vector<std::uint64_t>>& chain) {
    const ByteView revision = file.first(static_cast<std::size_t>(end));
    const std::optional<std::uint64_t> own = lastStartXref(revision);
    if (!own || !chain || !endsWithEof(revision)) {
        return false;
    }
    for (std::uint64_t offset : *chain) {
        if (offset == *own) {
            return true;
        }
        if (offset < end) {
            return false;
        }
    }
    return false;
}

using XrefTable = std::map<QPDFObjGen, QPDFXRefEntry>;

/// Whether every one of `objects` that is an object of its own is, as the file now reads it,
/// written within the first `end` bytes: a later update did not replace it.
bool signedAsIs(const XrefTable& xref, std::initializer_list<QPDFObjectHandle> objects,
                std::uint64_t end) {
    for (QPDFObjectHandle object : objects) {
        if (object.isIndirect()) {
            const std::optional<std::uint64_t> offset = offsetOf(xref, object.getObjGen());
            if (!offset || *offset >= end) {
                return false;
            }
        }
    }
    return true;
}

/// The evidence file associated with the field or its widget, and the length of the revision
/// it is bound to; nil also when an object on the way there was replaced after the revision
/// the signature covers (`end`), since the evidence must be what was signed.
std::optional<std::pair<QPDFObjectHandle, std::uint64_t>> evidenceOf(QPDFObjectHandle field,
                                                                     const XrefTable& xref,
                                                                     std::uint64_t end,
                                                                     bool& replaced) {
    // qpdf names a field by its widget: a kid widget's field is its parent, where the evidence
    // is written; files signed before that kept it on the widget, and are read there too.
    std::vector<QPDFObjectHandle> holders{field};
    if (!field.getKey("/T").isString() && field.getKey("/Parent").isDictionary()) {
        holders.push_back(field.getKey("/Parent"));
    }
    QPDFObjectHandle kids = field.getKey("/Kids");
    if (kids.isArray() && kids.getArrayNItems() > 0) {
        holders.push_back(kids.getArrayItem(0));
    }
    for (QPDFObjectHandle holder : holders) {
        QPDFObjectHandle files = holder.getKey("/AF");
        for (int i = 0; files.isArray() && i < files.getArrayNItems(); ++i) {
            QPDFObjectHandle spec = files.getArrayItem(i);
            QPDFObjectHandle length = spec.getKey("/Penwell.DocumentLength");
            QPDFObjectHandle stream = spec.getKey("/EF").getKey("/F");
            if (length.isInteger() && length.getIntValue() >= 0 && stream.isStream()) {
                if (!signedAsIs(xref, {holder, files, spec, spec.getKey("/EF"), stream}, end)) {
                    replaced = true;
                    return std::nullopt;
                }
                return std::pair{stream, static_cast<std::uint64_t>(length.getIntValue())};
            }
        }
    }
    return std::nullopt;
}

void checkEvidence(SignatureReport& report, QPDFObjectHandle field, ByteView file,
                   const Range& range, const XrefTable& xref, const VerifyOptions& options) {
    bool replaced = false;
    const auto found = evidenceOf(field, xref, range.end, replaced);
    if (replaced) {
        report.evidence = EvidenceState::Refused;
        report.evidenceDetail = "the evidence or its field was replaced after the signature";
        return;
    }
    if (!found) {
        return;
    }
    report.evidence = EvidenceState::NotOpened;
    auto [stream, length] = *found;
    QPDFObjectHandle declared = stream.getDict().getKey("/Length");
    if (!declared.isInteger() || declared.getIntValue() < 0 ||
        static_cast<std::uint64_t>(declared.getIntValue()) > kMaxEvidenceBytes) {
        report.evidence = EvidenceState::Refused;
        report.evidenceDetail = "the embedded evidence is over 64 MiB or has no length";
        return;
    }
    // Penwell embeds the record as it is; a filter could inflate a few bytes into gigabytes.
    if (!stream.getDict().getKey("/Filter").isNull()) {
        report.evidence = EvidenceState::Refused;
        report.evidenceDetail = "the embedded evidence is filtered, not stored as it is";
        return;
    }
    const std::shared_ptr<Buffer> data = stream.getRawStreamData();
    report.evidenceBytes.assign(data->getBuffer(), data->getBuffer() + data->getSize());
    // The evidence must lie inside what the signature covers, bound to a revision before it.
    if (stream.getObjGen().getObj() == 0 || length > range.gapStart) {
        report.evidence = EvidenceState::Refused;
        report.evidenceDetail = "the evidence claims a revision beyond what is signed";
        return;
    }
    if (!options.openEvidence) {
        return;
    }
    Result<OpenedEvidence> opened = options.openEvidence(report.evidenceBytes);
    if (!opened) {
        report.evidence = EvidenceState::Refused;
        report.evidenceDetail = opened.error().message;
        return;
    }
    if (opened->documentDigest != cms::sha256({file.first(static_cast<std::size_t>(length))})) {
        report.evidence = EvidenceState::Refused;
        report.evidenceDetail =
            "the evidence is bound to another document, not to the revision signed here";
        return;
    }
    report.evidence = EvidenceState::Matches;
    report.evidenceDetail = opened->summary;
    report.evidenceFields = opened->fields;
}

/// What may change after the signature in `field`: its certification's permissions when it
/// certifies the document, its own locks (from its /Reference, else from the field's /Lock as
/// the signed revision has it) and any permissions they narrow the document to.
Allowance allowanceOf(QPDFFormFieldObjectHelper& field, QPDFObjectHandle signature,
                      QPDF& signedRevision, const std::optional<Certification>& certification,
                      SignatureReport& report) {
    Allowance allowance;
    if (certification && certification->signature == signature.getObjGen()) {
        allowance.permissions = certification->permissions;
        allowance.permissionSource = "its certification";
        report.certification = certification->permissions;
    }
    allowance.locks = transformsOf(signature).locks;
    if (allowance.locks.empty() && field.getObjectHandle().isIndirect()) {
        QPDFObjectHandle before =
            signedRevision.getObjectByObjGen(field.getObjectHandle().getObjGen());
        for (int i = 0; i < 32 && before.isDictionary() && !before.hasKey("/Lock"); ++i) {
            before = before.getKey("/Parent");
        }
        if (before.isDictionary()) {
            if (std::optional<FieldLock> lock = lockFrom(before.getKey("/Lock"))) {
                allowance.locks.push_back(std::move(*lock));
            }
        }
    }
    for (const FieldLock& lock : allowance.locks) {
        report.locks += (report.locks.empty() ? "" : "; ") + lock.describe();
        if (lock.permissions && *lock.permissions < allowance.permissions) {
            allowance.permissions = *lock.permissions;
            allowance.permissionSource = "its field lock";
        }
    }
    return allowance;
}

/// Compares what the revisions after the signature changed with what it allows.
void checkModifications(SignatureReport& report, QPDFFormFieldObjectHelper& field,
                        QPDFObjectHandle signature, ByteView file, const std::string& name,
                        QPDF& current, const std::optional<Certification>& certification,
                        std::size_t& budget) {
    if (!report.onlyIncrementalAfter) {
        report.modifications = ModificationLevel::Other;
        return;
    }
    Result<std::shared_ptr<QPDF>> revision =
        openDocument(file.first(static_cast<std::size_t>(report.signedBytes)), name + " as signed");
    if (!revision) {
        report.modifications = ModificationLevel::Other;
        report.disallowed.push_back("the revision signed, which cannot be read: " +
                                    revision.error().message);
        return;
    }
    const Allowance allowance = allowanceOf(field, signature, **revision, certification, report);
    if (report.signedBytes == file.size()) {
        return;  // nothing after it
    }
    const Analysis analysis = analyseChanges(**revision, current, allowance, budget);
    report.modifications = analysis.level;
    report.disallowed = analysis.disallowed;
}

}  // namespace

const char* describe(ModificationLevel level) {
    switch (level) {
        case ModificationLevel::None:
            return "none";
        case ModificationLevel::SignaturesAndValidation:
            return "signatures and validation data";
        case ModificationLevel::FormFilling:
            return "form filling";
        case ModificationLevel::Annotations:
            return "annotations";
        case ModificationLevel::Other:
            break;
    }
    return "other";
}

Result<std::vector<SignatureReport>> verifyPdf(ByteView file, const std::string& name,
                                               const VerifyOptions& options) {
    Result<std::shared_ptr<QPDF>> opened = openDocument(file, name);
    if (!opened) {
        return opened.error();
    }
    std::vector<SignatureReport> reports;
    // Judged as of another time, every chain is judged from the file's own data, not now.
    const std::vector<Bytes> trustNow = options.at ? std::vector<Bytes>{} : options.trust;
    std::vector<PastSubject> subjects;
    try {
        const std::optional<std::vector<std::uint64_t>> chain = xrefChain(file);
        const XrefTable xref = (*opened)->getXRefTable();
        const std::optional<Certification> certification = certificationOf(**opened);
        std::size_t budget = kAnalysisBudget;
        std::set<QPDFObjGen> seen;
        QPDFAcroFormDocumentHelper form(**opened);
        for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
            QPDFObjectHandle signature = field.getValue();
            // A field with two widgets is listed once for each; its signature is one.
            if (field.getFieldType() != "/Sig" || !signature.isDictionary() ||
                (signature.isIndirect() && !seen.insert(signature.getObjGen()).second)) {
                continue;
            }
            if (reports.size() == kMaxSignatures) {
                return fail(
                    PdfErrorKind::TooLarge,
                    name + ": holds more than " + std::to_string(kMaxSignatures) + " signatures");
            }
            SignatureReport report;
            report.field = field.getFullyQualifiedName();
            if (signature.getKey("/M").isString()) {
                report.time = signature.getKey("/M").getUTF8Value();
            }
            if (signature.getKey("/SubFilter").isName()) {
                report.subFilter = signature.getKey("/SubFilter").getName();
            }
            const auto range = byteRange(signature, file);
            if (const auto* problem = std::get_if<std::string>(&range)) {
                report.signatureProblem = *problem;
                reports.push_back(std::move(report));
                if (options.at) {
                    subjects.emplace_back();
                }
                continue;
            }
            const Range& r = std::get<Range>(range);
            report.signedBytes = r.end;
            report.coverage =
                r.end == file.size() ? Coverage::WholeDocument : Coverage::EarlierRevision;
            const std::string contents = signature.getKey("/Contents").getStringValue();
            const std::vector<ByteView> parts = {
                file.first(static_cast<std::size_t>(r.gapStart)),
                file.subspan(static_cast<std::size_t>(r.gapEnd),
                             static_cast<std::size_t>(r.end - r.gapEnd))};
            report.documentTimestamp = report.subFilter == "/ETSI.RFC3161";
            const cms::CmsCheck check = report.documentTimestamp
                                            ? checkDocumentTimestamp(report, contents, parts, trustNow)
                                            : checkSignature(report, contents, parts, trustNow);
            report.signer = check.signer;
            report.signatureValid = check.valid;
            report.signatureProblem = check.problem;
            report.trusted = check.trusted;
            report.onlyIncrementalAfter = onlyUpdatesAfter(file, r.end, chain);
            if (report.signatureValid) {
                checkModifications(report, field, signature, file, name, **opened, certification,
                                   budget);
            }
            checkEvidence(report, field.getObjectHandle(), file, r, xref, options);
            if (options.at) {
                subjects.push_back({Bytes(contents.begin(), contents.end()), r.gapStart, r.end,
                                    report.documentTimestamp, report.signatureValid});
            }
            reports.push_back(std::move(report));
        }
        judgeOverTime(reports, subjects, **opened, xref, options);
    } catch (const std::exception& e) {
        return needsRepair(name, e.what());
    }
    return reports;
}

}  // namespace penwell::pdf
