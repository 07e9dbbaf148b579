// Sealing: the file is attached to the catalog (its /EmbeddedFiles name tree and its /AF), an
// invisible signature field is put on the first page and into the form, and the update is
// written and signed as a signature with ink is (SignedUpdate.h).

#include "penwell/pdf/Seal.h"

#include <qpdf/QPDFNameTreeObjectHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <set>
#include <utility>
#include <vector>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Inspection.h"
#include "penwell/pdf/Permissions.h"
#include "penwell/pdf/Placement.h"
#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/SignedUpdate.h"

namespace penwell::pdf {

namespace {

/// The most attachments a document may hold already: their tree is written anew, flat.
constexpr std::size_t kMaxAttachments = 4096;

MaybeFailure checkRequest(const SealRequest& request) {
    for (const auto& [what, value] : {std::pair{"the attachment's name", &request.fileName},
                                      {"the attachment's media type", &request.mediaType},
                                      {"the attachment's description", &request.description},
                                      {"the reason", &request.reason},
                                      {"the location", &request.location},
                                      {"the name", &request.name}}) {
        if (value->size() > kMaxTextBytes) {
            return fail(PdfErrorKind::BadText, std::string(what) + ": longer than " +
                                                   std::to_string(kMaxTextBytes) + " bytes");
        }
    }
    if (request.fileName.empty() || request.mediaType.empty()) {
        return fail(PdfErrorKind::BadText, "the attachment needs a name and a media type");
    }
    if (request.file.size() > kMaxAttachedBytes) {
        return fail(PdfErrorKind::TooLarge, request.fileName, "larger than 64 MiB");
    }
    return std::nullopt;
}

/// The file's stream (in `scratch`, numbered by `objects`) in a /Filespec dictionary.
Result<QPDFObjectHandle> filespecDictionary(NewObjects& objects, QPDF& scratch,
                                            const SealRequest& request,
                                   const std::string& modified) {
    QPDFObjectHandle stream = scratch.newStream(
        std::string(reinterpret_cast<const char*>(request.file.data()), request.file.size()));
    QPDFObjectHandle dict = stream.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/EmbeddedFile"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/" + request.mediaType));
    QPDFObjectHandle params = QPDFObjectHandle::newDictionary();
    params.replaceKey("/Size",
                      QPDFObjectHandle::newInteger(static_cast<long long>(request.file.size())));
    params.replaceKey("/CheckSum", QPDFObjectHandle::newString(cms::md5(request.file)));
    params.replaceKey("/ModDate", QPDFObjectHandle::newString(modified));
    dict.replaceKey("/Params", params);
    Result<QPDFObjectHandle> file = objects.adopt(stream);
    if (!file) {
        return file;
    }
    QPDFObjectHandle spec = objects.dictionary(QPDFObjectHandle::newDictionary());
    spec.replaceKey("/Type", QPDFObjectHandle::newName("/Filespec"));
    spec.replaceKey("/F", QPDFObjectHandle::newUnicodeString(request.fileName));
    spec.replaceKey("/UF", QPDFObjectHandle::newUnicodeString(request.fileName));
    if (!request.description.empty()) {
        spec.replaceKey("/Desc", QPDFObjectHandle::newUnicodeString(request.description));
    }
    // Data: the file is a record of the document's history, not a source of its content.
    spec.replaceKey("/AFRelationship", QPDFObjectHandle::newName("/Data"));
    spec.replaceKey("/EF", QPDFObjectHandle::newDictionary());
    spec.getKey("/EF").replaceKey("/F", *file);
    spec.getKey("/EF").replaceKey("/UF", *file);
    return spec;
}

/// The document's /EmbeddedFiles tree with `spec` added under its name, as one new flat node
/// in the catalog's /Names: the nodes there are left as they were, so that a validator sees
/// the catalog's names change by an added entry, and nothing else.
MaybeFailure attach(QPDF& qpdf, NewObjects& objects, QPDFObjectHandle spec,
                    const std::string& fileName, const std::string& inName) {
    QPDFObjectHandle root = qpdf.getRoot();
    QPDFObjectHandle names = root.getKey("/Names");
    names = names.isDictionary() ? names.shallowCopy() : QPDFObjectHandle::newDictionary();
    std::vector<std::pair<std::string, QPDFObjectHandle>> entries;
    QPDFObjectHandle tree = names.getKey("/EmbeddedFiles");
    if (tree.isDictionary()) {
        for (const auto& [key, value] : QPDFNameTreeObjectHelper(tree, qpdf)) {
            if (entries.size() == kMaxAttachments) {
                return fail(PdfErrorKind::TooLarge, inName,
                            "holds more than " + std::to_string(kMaxAttachments) + " attachments");
            }
            if (key == fileName) {
                return fail(PdfErrorKind::Attached, inName,
                            "holds an attached file named " + fileName + " already");
            }
            entries.emplace_back(key, value);
        }
    }
    entries.emplace_back(fileName, spec);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QPDFObjectHandle list = QPDFObjectHandle::newArray();
    for (const auto& [key, value] : entries) {
        list.appendItem(QPDFObjectHandle::newUnicodeString(key));
        list.appendItem(value);
    }
    QPDFObjectHandle node = objects.dictionary(QPDFObjectHandle::newDictionary());
    node.replaceKey("/Names", list);
    names.replaceKey("/EmbeddedFiles", node);
    root.replaceKey("/Names", names);
    // The catalog's associated files, as PDF/A-3 finds a document's attachments.
    QPDFObjectHandle files = root.getKey("/AF");
    files = files.isArray() ? files.shallowCopy() : QPDFObjectHandle::newArray();
    files.appendItem(spec);
    root.replaceKey("/AF", files);
    return std::nullopt;
}

}  // namespace

/// What a certification or a signed field's lock allows must include annotations: ISO 32000
/// lists no permission for attaching a file to the document, and an attached file is what a
/// file attachment annotation, allowed with P = 3, carries. P = 1 and P = 2 refuse it.
MaybeFailure refusesAttaching(QPDF& qpdf, const std::string& name) {
    if (const std::optional<Certification> certified = certificationOf(qpdf)) {
        if (certified->permissions < 3) {
            return fail(PdfErrorKind::Certified, name,
                        "certified with P = " + std::to_string(certified->permissions) + " (" +
                            describePermissions(certified->permissions) +
                            "): it allows no file to be attached");
        }
    }
    for (const SignedLock& locked : signedLocks(qpdf)) {
        if (locked.lock.permissions && *locked.lock.permissions < 3) {
            return fail(PdfErrorKind::Certified, name,
                        "locked by the signature in field " + locked.field + " to " +
                            describePermissions(*locked.lock.permissions) +
                            ": it allows no file to be attached");
        }
    }
    return std::nullopt;
}

Result<Bytes> sealPdf(ByteView in, const std::string& inName, const SealRequest& request,
                      const SigningIdentity& identity) {
    return sealPdfThen(in, inName, request, identity, {});
}

Result<Bytes> sealPdfThen(ByteView in, const std::string& inName, const SealRequest& request,
                          const SigningIdentity& identity, const AfterSignature& after) {
    if (MaybeFailure refused = checkRequest(request)) {
        return *refused;
    }
    Result<UpdateBase> base = openForUpdate(in, inName);
    if (!base) {
        return base.error();
    }
    QPDF& qpdf = *base->qpdf;
    QPDF scratch;  // outlives the writing: the new streams are written from it
    scratch.emptyPDF();
    const auto now = request.time.value_or(std::chrono::system_clock::now());
    NewObjects objects(qpdf, static_cast<int>(base->first));
    std::set<QPDFObjGen> changed;
    QPDFObjectHandle signature;
    try {
        if (MaybeFailure refused = refusesAttaching(qpdf, inName)) {
            return *refused;
        }
        std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(qpdf).getAllPages();
        if (pages.empty()) {
            return needsRepair(inName, "it has no page");
        }
        Result<QPDFObjectHandle> spec =
            filespecDictionary(objects, scratch, request, pdfDate(now));
        if (!spec) {
            return spec.error();
        }
        if (MaybeFailure refused = attach(qpdf, objects, *spec, request.fileName, inName)) {
            return *refused;
        }
        changed.insert(qpdf.getRoot().getObjGen());

        // An empty appearance of no size: nothing to draw, and every reader and validator
        // finds the appearance it looks for.
        QPDFObjectHandle empty = scratch.newStream(std::string());
        empty.getDict().replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        empty.getDict().replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
        empty.getDict().replaceKey("/BBox", QPDFObjectHandle::newFromRectangle({0, 0, 0, 0}));
        Result<QPDFObjectHandle> look = objects.adopt(empty);
        if (!look) {
            return look.error();
        }
        signature = objects.dictionary(QPDFObjectHandle::newDictionary());
        QPDFObjectHandle page = pages.front().getObjectHandle();
        QPDFObjectHandle field =
            addInvisibleField(qpdf, objects, page, signature, "Seal", changed);
        field.replaceKey("/AP", QPDFObjectHandle::newDictionary());
        field.getKey("/AP").replaceKey("/N", *look);
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    Result<ContentsSource> contents = cadesContents(identity, request.timestamp);
    if (!contents) {
        return contents.error();
    }
    return writeSignedUpdate(in, inName, *base, objects, changed, signature.getObjGen(),
                             {now, request.reason, request.location, request.name, std::nullopt},
                             *contents, after);
}

}  // namespace penwell::pdf
