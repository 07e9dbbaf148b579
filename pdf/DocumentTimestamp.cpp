// B-LTA: the document time-stamp's field and dictionary appended like a signature's, the byte
// range hashed, and the token itself, a CMS SignedData over TSTInfo, put into /Contents.

#include "penwell/pdf/DocumentTimestamp.h"

#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/SignedUpdate.h"

namespace penwell::pdf {

namespace {

/// Room in /Contents for the token: one with the TSA's certificate and an intermediate's is
/// 2 to 6 KB. A larger one costs a second time-stamp with room for it.
constexpr std::size_t kTokenRoom = 8192;

}  // namespace

Result<UpdateText> appendDocumentTimestamp(Bytes& file, const std::string& inName,
                                           const UpdateBase& base, const TimestampAuthority& tsa) {
    QPDF& qpdf = *base.qpdf;
    NewObjects objects(qpdf, static_cast<int>(base.first));
    std::set<QPDFObjGen> changed;
    QPDFObjectHandle stamp;
    try {
        std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(qpdf).getAllPages();
        if (pages.empty()) {
            return needsRepair(inName, "it has no page for the time-stamp's field");
        }
        QPDFObjectHandle page = pages.front().getObjectHandle();
        stamp = objects.dictionary(QPDFObjectHandle::newDictionary());
        // Drawn as nothing and locked, as validators expect of a document time-stamp's widget.
        addInvisibleField(qpdf, objects, page, stamp, "Signature", changed);
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    SignatureEntries entries;
    entries.time = std::chrono::system_clock::now();
    entries.documentTimestamp = true;
    ContentsSource contents;
    contents.room = kTokenRoom;
    contents.make = [&tsa](const Sha256& digest) { return requestTimestampTokenFor(tsa, digest); };
    contents.tooLarge = [&tsa] {
        return fail(PdfErrorKind::Timestamp, tsa.url,
                    "the document time-stamp token is larger than the room reserved for it");
    };
    return appendSignedUpdate(file, inName, base, objects, changed, stamp.getObjGen(), entries,
                              contents);
}

Result<Bytes> addDocumentTimestamp(ByteView in, const std::string& inName,
                                   const TimestampAuthority& tsa) {
    Result<UpdateBase> base = openForUpdate(in, inName);
    if (!base) {
        return base.error();
    }
    Bytes out;
    out.reserve(in.size() + 2 * kTokenRoom + (16u << 10));
    out.assign(in.begin(), in.end());
    if (Result<UpdateText> update = appendDocumentTimestamp(out, inName, *base, tsa); !update) {
        return update.error();
    }
    return out;
}

}  // namespace penwell::pdf
