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
#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/Conformance.h"
#include "penwell/pdf/Document.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/Permissions.h"
#include "penwell/pdf/Placement.h"
#include "penwell/pdf/Revisions.h"
#include "penwell/pdf/Timestamp.h"
#include "penwell/pdf/Update.h"

namespace penwell::pdf {

namespace {

/// Room for "0 a b c" in /ByteRange: four numbers of up to ten digits.
constexpr std::size_t kByteRangeWidth = 44;
/// Beyond the placeholder CMS: DER length fields that grow, and signatures (ECDSA) whose
/// encoding varies by a few bytes.
constexpr std::size_t kContentsMargin = 64;
/// Room in /Contents for a time-stamp token: one with the TSA's certificate and an
/// intermediate's is 2 to 6 KB. A larger one costs a second signing with room for it.
constexpr std::size_t kTokenRoom = 8192;
/// SignaturesExist | AppendOnly: viewers keep to incremental updates from now on.
constexpr long long kSigFlags = 3;

/// The document opened and the signature's place found: everything a request is checked
/// for before anything is made.
struct Prepared {
    std::shared_ptr<QPDF> qpdf;
    std::uint64_t startXref = 0;
    XrefSection lastSection;
    std::vector<QPDFPageObjectHelper> pages;
    Place place;
    std::optional<FieldLock> lock;  ///< the field's own /Lock, which its signature records
};

/// What the document's signatures allow: a certification that allows no change, a signed
/// field's lock over the field to be signed, and a certification asked of a signed document.
MaybeFailure refusedByPermissions(QPDF& qpdf, const Place& place, const SignRequest& request,
                                  const std::string& name) {
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
    Result<std::shared_ptr<QPDF>> opened = openDocument(in, inName);
    if (!opened) {
        return opened.error();
    }
    Prepared prepared;
    prepared.qpdf = std::move(*opened);
    const std::optional<std::uint64_t> startXref = lastStartXref(in);
    const std::optional<XrefSection> lastSection =
        startXref ? readXrefSection(in, *startXref) : std::nullopt;
    if (!lastSection || !endsWithEof(in)) {
        return needsRepair(inName, "it does not end with a cross-reference section and %%EOF");
    }
    prepared.startXref = *startXref;
    prepared.lastSection = *lastSection;
    try {
        prepared.pages = QPDFPageDocumentHelper(*prepared.qpdf).getAllPages();
        Result<Place> found = findPlace(*prepared.qpdf, prepared.pages, request, inName);
        if (!found) {
            return found.error();
        }
        prepared.place = std::move(*found);
        if (MaybeFailure refused =
                refusedByPermissions(*prepared.qpdf, prepared.place, request, inName)) {
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
        fieldMdp.replaceKey("/Data", prepared.qpdf->getRoot());
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
    if (prepared->qpdf->anyWarnings()) {
        return needsRepair(inName, "qpdf warns while reading its objects");
    }
    return SignaturePlace{place.pageNumber,   place.rect.llx,      place.rect.lly,
                          place.rect.width(), place.rect.height(), place.rotate};
}

namespace {

/// signPdf() with `tokenRoom` bytes reserved for a time-stamp token; when the token does not
/// fit, `needed` is set to the room that would have held it.
Result<Bytes> signWithRoom(ByteView in, const std::string& inName, const SignRequest& request,
                           const SigningIdentity& identity, std::size_t tokenRoom,
                           std::size_t& needed) {
    Result<Prepared> prepared = prepare(in, inName, request);
    if (!prepared) {
        return prepared.error();
    }
    QPDF& qpdf = *prepared->qpdf;
    const std::uint64_t startXref = prepared->startXref;
    const XrefSection& lastSection = prepared->lastSection;

    QPDF ink;  // outlives the writing: the ink's streams are copied from it
    std::string body;
    std::size_t contentsAt = 0, contentsLength = 0, byteRangeAt = 0;
    const auto now = request.time.value_or(std::chrono::system_clock::now());
    try {
        Place& place = prepared->place;
        QPDFObjectHandle trailer = qpdf.getTrailer();
        const std::map<QPDFObjGen, QPDFXRefEntry> xref = qpdf.getXRefTable();
        const long long size =
            trailer.getKey("/Size").isInteger() ? trailer.getKey("/Size").getIntValue() : 0;
        const long long first =
            std::max<long long>(size, xref.empty() ? 1 : xref.rbegin()->first.getObj() + 1);
        if (first > (1 << 23)) {
            return needsRepair(inName, "its /Size or object numbers are beyond 8388608");
        }
        std::optional<QPDFObjectHandle> reference = references(*prepared, request);
        if (request.warn) {
            if (const std::optional<std::string> claim = pdfaClaim(qpdf)) {
                if (const auto loss = pdfaLoss(*claim, static_cast<bool>(request.evidence))) {
                    request.warn(inName + " claims " + *claim +
                                 "; the signed PDF no longer conforms: " + *loss);
                }
            }
        }
        NewObjects objects(qpdf, static_cast<int>(first));
        std::set<QPDFObjGen> changed;

        Result<std::pair<QPDFObjectHandle, PageBox>> inkForm = importInk(ink, request.inkPdf);
        if (!inkForm) {
            return inkForm.error();
        }
        QPDFObjectHandle look = objects.adopt(
            appearance(ink, inkForm->first, inkForm->second, place.rect, place.rotate));
        QPDFObjectHandle signature = objects.dictionary(QPDFObjectHandle::newDictionary());
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
        place.widget.getKey("/AP").replaceKey("/N", look);
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
            files.appendItem(evidenceFile(objects, ink, *evidence, in.size(), pdfDate(now)));
            place.field.replaceKey("/AF", files);
        }

        QPDFObjectHandle root = qpdf.getRoot();
        QPDFObjectHandle form = root.getKey("/AcroForm");
        if (!form.isDictionary()) {
            root.replaceKey("/AcroForm", objects.dictionary(QPDFObjectHandle::newDictionary()));
            form = root.getKey("/AcroForm");
            changed.insert(root.getObjGen());
        }
        if (!place.existingField) {
            // A form written into the catalog is written with it.
            changed.insert(appendTo(form, "/Fields", place.field, root.getObjGen()));
        }
        const long long flags =
            form.getKey("/SigFlags").isInteger() ? form.getKey("/SigFlags").getIntValue() : 0;
        // Rewritten only when it changes: a form left as it was is one change fewer for a
        // validator to judge after earlier signatures.
        if ((flags & kSigFlags) != kSigFlags) {
            form.replaceKey("/SigFlags", QPDFObjectHandle::newInteger(flags | kSigFlags));
            changed.insert(form.isIndirect() ? form.getObjGen() : root.getObjGen());
        }
        if (request.certify) {
            QPDFObjectHandle perms = root.getKey("/Perms");
            perms = perms.isDictionary() ? perms.shallowCopy() : QPDFObjectHandle::newDictionary();
            perms.replaceKey("/DocMDP", signature);
            root.replaceKey("/Perms", perms);
            changed.insert(root.getObjGen());
        }

        for (int id = objects.first(); id < objects.end(); ++id) {
            changed.insert(QPDFObjGen(id, 0));
        }

        // ---- the update's objects
        if (!in.empty() && in.back() != '\n' && in.back() != '\r') {
            body += '\n';
        }
        std::vector<XrefEntry> entries;
        // The same CMS with a zero digest and a signature of the key's largest size: the real
        // one is no longer, and nothing is signed twice.
        Result<Bytes> probe = cms::signDetached(identity, Sha256{}, true);
        if (!probe) {
            return probe.error();
        }
        const std::size_t placeholder = probe->size();
        for (const QPDFObjGen& id : changed) {
            entries.push_back({id.getObj(), id.getGen(), in.size() + body.size()});
            if (id == signature.getObjGen()) {
                body += std::to_string(id.getObj()) +
                        " 0 obj\n<< /Type /Sig /Filter "
                        "/Adobe.PPKLite /SubFilter /ETSI.CAdES.detached\n/ByteRange [";
                byteRangeAt = body.size();
                body += std::string(kByteRangeWidth, ' ') + "]\n/Contents <";
                contentsAt = body.size() - 1;
                contentsLength =
                    2 * (placeholder + kContentsMargin + (request.timestamp ? tokenRoom : 0));
                body += std::string(contentsLength, '0') + ">\n/M " +
                        QPDFObjectHandle::newString(pdfDate(now)).unparse();
                for (const auto& [key, value] : {std::pair{"/Reason", &request.reason},
                                                 {"/Location", &request.location},
                                                 {"/Name", &request.name}}) {
                    if (!value->empty()) {
                        body += std::string("\n") + key + " " +
                                QPDFObjectHandle::newUnicodeString(*value).unparse();
                    }
                }
                if (reference) {
                    body += "\n/Reference " + reference->unparse();
                }
                body += "\n>>\nendobj\n";
            } else if (auto text = objects.scratchText(id.getObj())) {
                body += *text;
            } else {
                body += objectText(qpdf.getObjectByObjGen(id));
            }
        }

        // ---- cross-reference section and trailer, of the kind the input ends with
        const long long newSize = std::max<long long>(size, entries.back().id + 1);
        const std::string common = updateTrailer(trailer, startXref, pdfDate(now), body, in);
        body += xrefSection(std::move(entries), lastSection.table, in.size() + body.size(), newSize,
                            common);
        if (qpdf.anyWarnings()) {
            return needsRepair(inName, "qpdf warns while reading its objects");
        }
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }

    // ---- the byte range, its digest, the CMS
    Bytes out;
    out.reserve(in.size() + body.size());
    out.insert(out.end(), in.begin(), in.end());
    out.insert(out.end(), body.begin(), body.end());
    const std::size_t gapStart = in.size() + contentsAt;
    const std::size_t gapEnd = gapStart + contentsLength + 2;
    const std::string range = "0 " + std::to_string(gapStart) + " " + std::to_string(gapEnd) + " " +
                              std::to_string(out.size() - gapEnd);
    std::copy(range.begin(), range.end(),
              out.begin() + static_cast<std::ptrdiff_t>(in.size() + byteRangeAt));
    const ByteView whole(out);
    const Sha256 digest = cms::sha256({whole.first(gapStart), whole.subspan(gapEnd)});
    Result<Bytes> signedData = cms::signDetached(identity, digest, false);
    if (!signedData) {
        return signedData.error();
    }
    if (request.timestamp) {
        signedData = addSignatureTimestamp(*signedData, *request.timestamp);
        if (!signedData) {
            return signedData.error();
        }
    }
    const std::string contents = hex(*signedData);
    if (contents.size() > contentsLength) {
        if (request.timestamp) {
            // Another token may differ by a few bytes: its serial, its time.
            needed = tokenRoom + (contents.size() - contentsLength) / 2 + 512;
            return fail(PdfErrorKind::Timestamp, request.timestamp->url,
                        "the time-stamp token is larger than the " + std::to_string(tokenRoom) +
                            " bytes reserved for it");
        }
        return fail(PdfErrorKind::SigningKey, "the CMS signature outgrew its reserved room");
    }
    std::copy(contents.begin(), contents.end(),
              out.begin() + static_cast<std::ptrdiff_t>(gapStart + 1));
    return out;
}

}  // namespace

Result<Bytes> signPdf(ByteView in, const std::string& inName, const SignRequest& request,
                      const SigningIdentity& identity) {
    std::size_t needed = 0;
    Result<Bytes> out = signWithRoom(in, inName, request, identity, kTokenRoom, needed);
    if (!out && needed > 0) {
        std::size_t again = 0;
        out = signWithRoom(in, inName, request, identity, needed, again);
    }
    return out;
}

}  // namespace penwell::pdf
