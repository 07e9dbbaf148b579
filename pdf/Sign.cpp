// Signing: the objects of the update are made and changed in qpdf's model of the input, then
// written after the input's bytes together with a cross-reference section of the input's kind,
// and finally the byte range is hashed and the CMS put into the reserved /Contents.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "penwell/pdf/Appearance.h"
#include "penwell/pdf/Conformance.h"
#include "penwell/pdf/Document.h"
#include "penwell/pdf/Inspection.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Permissions.h"
#include "penwell/pdf/Placement.h"
#include "penwell/pdf/Revisions.h"
#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/SignedUpdate.h"
#include "penwell/pdf/Update.h"

namespace penwell::pdf {

namespace {

/// The document opened and the signature's place found: everything a request is checked
/// for before anything is made.
struct Prepared {
    UpdateBase base;
    std::vector<QPDFPageObjectHelper> pages;
    Place place;
    std::optional<FieldLock> lock;  ///< the field's own /Lock, which its signature records
};

/// What the document's signatures allow: a certification that allows no change, a signed
/// field's lock over the field to be signed, and a certification asked of a signed document.
MaybeFailure refusedByPermissions(QPDF& qpdf, const Place& place, const SignRequest& request,
                                  const std::string& name) {
    if (MaybeFailure refused = refusesEveryChange(qpdf, name)) {
        return refused;
    }
    for (const SignedLock& locked : signedLocks(qpdf)) {
        if (place.existingField && locked.lock.covers(place.fieldName)) {
            return fail(PdfErrorKind::Certified, "--field " + place.fieldName +
                                                     ": locked by the signature in field " +
                                                     locked.field);
        }
    }
    if (request.certify) {
        QPDFAcroFormDocumentHelper form(qpdf);
        for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
            if (field.getFieldType() == "/Sig" && field.getValue().isDictionary()) {
                return fail(PdfErrorKind::Certified,
                            "--certify: " + name +
                                " is signed already; only a document's first signature "
                                "certifies it");
            }
        }
    }
    return std::nullopt;
}

Result<Prepared> prepare(ByteView in, const std::string& inName, const SignRequest& request) {
    for (const auto& [option, value] : {std::pair{"--reason", &request.reason},
                                        {"--location", &request.location},
                                        {"--name", &request.name}}) {
        if (value->size() > kMaxTextBytes) {
            return fail(PdfErrorKind::BadText, std::string(option) + ": longer than " +
                                                   std::to_string(kMaxTextBytes) + " bytes");
        }
    }
    if (request.certify && (*request.certify < 1 || *request.certify > 3)) {
        return fail(PdfErrorKind::Certified,
                    "--certify " + std::to_string(*request.certify) +
                        ": expected 1 (no changes), 2 (form filling and signing) or 3 (also "
                        "annotations)");
    }
    Result<UpdateBase> base = openForUpdate(in, inName);
    if (!base) {
        return base.error();
    }
    Prepared prepared;
    prepared.base = std::move(*base);
    QPDF& qpdf = *prepared.base.qpdf;
    try {
        prepared.pages = QPDFPageDocumentHelper(qpdf).getAllPages();
        Result<Place> found = findPlace(qpdf, prepared.pages, request, inName);
        if (!found) {
            return found.error();
        }
        prepared.place = std::move(*found);
        if (MaybeFailure refused =
                refusedByPermissions(qpdf, prepared.place, request, inName)) {
            return *refused;
        }
        if (prepared.place.existingField) {
            prepared.lock = lockFrom(prepared.place.field.getKey("/Lock"));
        }
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    return prepared;
}

/// The signature dictionary's /Reference: the certification's DocMDP transform, the field
/// lock's FieldMDP transform; nil when there is neither.
std::optional<QPDFObjectHandle> references(const Prepared& prepared, const SignRequest& request) {
    QPDFObjectHandle list = QPDFObjectHandle::newArray();
    if (request.certify) {
        QPDFObjectHandle docMdp = QPDFObjectHandle::parse(
            "<< /Type /SigRef /TransformMethod /DocMDP /TransformParams << /Type /TransformParams "
            "/V /1.2 >> >>");
        docMdp.getKey("/TransformParams")
            .replaceKey("/P", QPDFObjectHandle::newInteger(*request.certify));
        list.appendItem(docMdp);
    }
    if (prepared.lock) {
        QPDFObjectHandle fieldMdp =
            QPDFObjectHandle::parse("<< /Type /SigRef /TransformMethod /FieldMDP >>");
        fieldMdp.replaceKey("/TransformParams", prepared.lock->transformParams());
        // ISO 32000-1 asks a FieldMDP reference for the object the analysis starts from.
        fieldMdp.replaceKey("/Data", prepared.base.qpdf->getRoot());
        list.appendItem(fieldMdp);
    }
    return list.getArrayNItems() > 0 ? std::optional(list) : std::nullopt;
}

}  // namespace

Result<Placement> placementOf(const std::optional<std::string>& field, int page,
                              const std::optional<std::string>& rect) {
    if (field.has_value() == rect.has_value()) {
        return fail(PdfErrorKind::BadRect, "give either --field NAME or --page N --rect X,Y,W,H");
    }
    if (field) {
        return Placement{FieldPlacement{*field}};
    }
    PagePlacement placement{page};
    double* fields[] = {&placement.x, &placement.y, &placement.width, &placement.height};
    std::istringstream text(*rect);
    text.imbue(std::locale::classic());
    char comma = ',';
    for (std::size_t i = 0; i < 4; ++i) {
        if ((i > 0 && !(text >> comma)) || comma != ',' || !(text >> *fields[i])) {
            return fail(PdfErrorKind::BadRect, "--rect " + *rect, "expected X,Y,W,H in points");
        }
    }
    if (!(text >> std::ws).eof()) {
        return fail(PdfErrorKind::BadRect, "--rect " + *rect, "expected X,Y,W,H in points");
    }
    return Placement{placement};
}

Result<SignaturePlace> checkSignRequest(ByteView in, const std::string& inName,
                                        const SignRequest& request) {
    Result<Prepared> prepared = prepare(in, inName, request);
    if (!prepared) {
        return prepared.error();
    }
    const Place& place = prepared->place;
    if (prepared->base.qpdf->anyWarnings()) {
        return needsRepair(inName, "qpdf warns while reading its objects");
    }
    return SignaturePlace{place.pageNumber,   place.rect.llx,      place.rect.lly,
                          place.rect.width(), place.rect.height(), place.rotate};
}

Result<Bytes> signPdf(ByteView in, const std::string& inName, const SignRequest& request,
                      const SigningIdentity& identity) {
    return signPdfThen(in, inName, request, identity, {});
}

Result<Bytes> signPdfThen(ByteView in, const std::string& inName, const SignRequest& request,
                          const SigningIdentity& identity, const AfterSignature& after) {
    Result<Prepared> prepared = prepare(in, inName, request);
    if (!prepared) {
        return prepared.error();
    }
    QPDF& qpdf = *prepared->base.qpdf;

    QPDF ink;  // outlives the writing: the ink's streams are copied from it
    const auto now = request.time.value_or(std::chrono::system_clock::now());
    NewObjects objects(qpdf, static_cast<int>(prepared->base.first));
    std::set<QPDFObjGen> changed;
    QPDFObjectHandle signature;
    SignatureEntries entries{now, request.reason, request.location, request.name, std::nullopt};
    try {
        Place& place = prepared->place;
        entries.reference = references(*prepared, request);
        if (request.warn) {
            if (const std::optional<std::string> claim = pdfaClaim(qpdf)) {
                if (const auto loss = pdfaLoss(*claim, static_cast<bool>(request.evidence))) {
                    request.warn(inName + " claims " + *claim +
                                 "; the signed PDF no longer conforms: " + *loss);
                }
            }
        }

        Result<std::pair<QPDFObjectHandle, PageBox>> inkForm = importInk(ink, request.inkPdf);
        if (!inkForm) {
            return inkForm.error();
        }
        Result<QPDFObjectHandle> look = objects.adopt(
            appearance(ink, inkForm->first, inkForm->second, place.rect, place.rotate));
        if (!look) {
            return look.error();
        }
        signature = objects.dictionary(QPDFObjectHandle::newDictionary());
        if (!place.existingField) {
            place.field = objects.dictionary(
                QPDFObjectHandle::parse("<< /Type /Annot /Subtype /Widget /FT /Sig /F 4 >>"));
            place.widget = place.field;
            place.field.replaceKey("/T", QPDFObjectHandle::newUnicodeString(freeFieldName(qpdf)));
            place.field.replaceKey(
                "/Rect", QPDFObjectHandle::newFromRectangle(
                             {place.rect.llx, place.rect.lly, place.rect.urx, place.rect.ury}));
            place.field.replaceKey("/P", place.page);
            changed.insert(appendTo(place.page, "/Annots", place.field, place.page.getObjGen()));
        }
        // The value on the field, the appearance on its widget: one object unless the widget
        // is a kid of the field. Then the widget gets the value too, the same dictionary:
        // PDFBox and Acrobat read it from the field, poppler and mupdf from the widget.
        place.field.replaceKey("/V", signature);
        if (place.widget.getObjGen() != place.field.getObjGen()) {
            place.widget.replaceKey("/V", signature);
        }
        place.widget.replaceKey("/AP", QPDFObjectHandle::newDictionary());
        place.widget.getKey("/AP").replaceKey("/N", *look);
        if (place.rotate != 0) {
            // The widget turned with the page, as an editor records it for one drawn upright.
            QPDFObjectHandle mk = place.widget.getKey("/MK");
            mk = mk.isDictionary() ? mk.shallowCopy() : QPDFObjectHandle::newDictionary();
            mk.replaceKey("/R", QPDFObjectHandle::newInteger(place.rotate));
            place.widget.replaceKey("/MK", mk);
        }
        changed.insert(place.field.getObjGen());
        changed.insert(place.widget.getObjGen());
        if (request.evidence) {
            // The one extra pass over the input, only when it is needed.
            Result<Bytes> evidence = request.evidence(cms::sha256({in}));
            if (!evidence) {
                return evidence.error();
            }
            QPDFObjectHandle files = QPDFObjectHandle::newArray();
            Result<QPDFObjectHandle> file =
                evidenceFile(objects, ink, *evidence, in.size(), pdfDate(now));
            if (!file) {
                return file.error();
            }
            files.appendItem(*file);
            place.field.replaceKey("/AF", files);
        }
        enterSignatureField(qpdf, objects, place.field, !place.existingField, changed);
        if (request.certify) {
            QPDFObjectHandle root = qpdf.getRoot();
            QPDFObjectHandle perms = root.getKey("/Perms");
            perms = perms.isDictionary() ? perms.shallowCopy() : QPDFObjectHandle::newDictionary();
            perms.replaceKey("/DocMDP", signature);
            root.replaceKey("/Perms", perms);
            changed.insert(root.getObjGen());
        }
        for (int id = objects.first(); id < objects.end(); ++id) {
            changed.insert(QPDFObjGen(id, 0));
        }
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    Result<ContentsSource> contents = cadesContents(identity, request.timestamp);
    if (!contents) {
        return contents.error();
    }
    return writeSignedUpdate(in, inName, prepared->base, objects, changed, signature.getObjGen(),
                             entries, *contents, after);
}

}  // namespace penwell::pdf
