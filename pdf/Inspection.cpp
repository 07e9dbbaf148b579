#include "penwell/pdf/Inspection.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Permissions.h"
#include "penwell/pdf/Revisions.h"

namespace penwell::pdf {

MaybeFailure refusesEveryChange(QPDF& qpdf, const std::string& name) {
    if (const std::optional<Certification> certified = certificationOf(qpdf)) {
        if (certified->permissions == 1) {
            return fail(PdfErrorKind::Certified, name, "certified: no changes allowed");
        }
    }
    for (const SignedLock& locked : signedLocks(qpdf)) {
        if (locked.lock.permissions == 1) {
            return fail(
                PdfErrorKind::Certified, name,
                "locked by the signature in field " + locked.field + ": no changes allowed");
        }
    }
    return std::nullopt;
}

namespace {

std::vector<SignatureField> signatureFields(QPDF& qpdf,
                                            const std::vector<QPDFPageObjectHelper>& pages) {
    std::vector<SignatureField> fields;
    QPDFAcroFormDocumentHelper form(qpdf);
    for (std::size_t i = 0; i < pages.size() && fields.size() < kMaxListedFields; ++i) {
        for (QPDFAnnotationObjectHelper& widget :
             form.getWidgetAnnotationsForPage(QPDFPageObjectHelper(pages[i]))) {
            QPDFFormFieldObjectHelper field = form.getFieldForAnnotation(widget);
            if (field.isNull() || field.getFieldType() != "/Sig") {
                continue;
            }
            const std::string name = field.getFullyQualifiedName();
            bool seen = false;
            for (const SignatureField& earlier : fields) {
                seen = seen || earlier.name == name;
            }
            if (seen) {
                continue;  // a second widget of one field: the field is listed once
            }
            const QPDFObjectHandle::Rectangle rect = widget.getRect();
            fields.push_back({name, static_cast<int>(i + 1), rect.llx, rect.lly,
                              rect.urx - rect.llx, rect.ury - rect.lly,
                              field.getValue().isDictionary()});
            if (fields.size() == kMaxListedFields) {
                break;
            }
        }
    }
    return fields;
}

}  // namespace

Result<DocumentInspection> inspectForSigning(ByteView in, const std::string& inName) {
    Result<std::shared_ptr<QPDF>> opened = openDocument(in, inName);
    if (!opened) {
        return opened.error();
    }
    const std::optional<std::uint64_t> startXref = lastStartXref(in);
    if (!startXref || !readXrefSection(in, *startXref) || !endsWithEof(in)) {
        return needsRepair(inName, "it does not end with a cross-reference section and %%EOF");
    }
    try {
        QPDF& qpdf = **opened;
        if (MaybeFailure refused = refusesEveryChange(qpdf, inName)) {
            return *refused;
        }
        const std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(qpdf).getAllPages();
        DocumentInspection inspection;
        inspection.pages = static_cast<int>(pages.size());
        inspection.fields = signatureFields(qpdf, pages);
        if (MaybeFailure refused = refusesAttaching(qpdf, inName)) {
            inspection.sealRefusal = refused->message;
        }
        return inspection;
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
}

}  // namespace penwell::pdf
