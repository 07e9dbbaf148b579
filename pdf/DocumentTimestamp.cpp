// B-LTA: the document time-stamp's field and dictionary appended like a signature's, the byte
// range hashed, and the token itself, a CMS SignedData over TSTInfo, put into /Contents.

#include "penwell/pdf/DocumentTimestamp.h"

#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>

#include "penwell/pdf/Appending.h"
#include "penwell/pdf/Document.h"
#include "penwell/pdf/Placement.h"
#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/Update.h"

namespace penwell::pdf {

namespace {

/// Room for "0 a b c" in /ByteRange: four numbers of up to ten digits.
constexpr std::size_t kByteRangeWidth = 44;
/// Room in /Contents for the token: one with the TSA's certificate and an intermediate's is
/// 2 to 6 KB. A larger one costs a second time-stamp with room for it.
constexpr std::size_t kTokenRoom = 8192;
/// SignaturesExist | AppendOnly.
constexpr long long kSigFlags = 3;

Result<Bytes> stampWithRoom(ByteView in, const std::string& inName,
                            const TimestampAuthority& tsa, std::size_t room,
                            std::size_t& needed) {
    Result<std::shared_ptr<QPDF>> opened = openDocument(in, inName);
    if (!opened) {
        return opened.error();
    }
    QPDF& qpdf = **opened;
    UpdateText update;
    QPDFObjGen stampId;
    std::size_t byteRangeAt = 0, contentsAt = 0;
    try {
        Result<Appending> appending = appendingTo(qpdf, in, inName);
        if (!appending) {
            return appending.error();
        }
        std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(qpdf).getAllPages();
        if (pages.empty()) {
            return needsRepair(inName, "it has no page for the time-stamp's field");
        }
        QPDFObjectHandle page = pages.front().getObjectHandle();
        NewObjects objects(qpdf, appending->first);
        std::set<QPDFObjGen> changed;
        QPDFObjectHandle stamp = objects.dictionary(QPDFObjectHandle::newDictionary());
        stampId = stamp.getObjGen();
        // Invisible: no area, hidden from neither print nor view but drawn as nothing, and
        // locked (Print | Locked), as validators expect of a document time-stamp's widget.
        QPDFObjectHandle field = objects.dictionary(QPDFObjectHandle::parse(
            "<< /Type /Annot /Subtype /Widget /FT /Sig /F 132 /Rect [0 0 0 0] >>"));
        field.replaceKey("/T", QPDFObjectHandle::newUnicodeString(freeFieldName(qpdf)));
        field.replaceKey("/P", page);
        field.replaceKey("/V", stamp);
        changed.insert(appendTo(page, "/Annots", field, page.getObjGen()));
        QPDFObjectHandle root = qpdf.getRoot();
        QPDFObjectHandle form = root.getKey("/AcroForm");
        if (!form.isDictionary()) {
            root.replaceKey("/AcroForm", objects.dictionary(QPDFObjectHandle::newDictionary()));
            form = root.getKey("/AcroForm");
            changed.insert(root.getObjGen());
        }
        changed.insert(appendTo(form, "/Fields", field, root.getObjGen()));
        const long long flags =
            form.getKey("/SigFlags").isInteger() ? form.getKey("/SigFlags").getIntValue() : 0;
        if ((flags & kSigFlags) != kSigFlags) {
            form.replaceKey("/SigFlags", QPDFObjectHandle::newInteger(flags | kSigFlags));
            changed.insert(form.isIndirect() ? form.getObjGen() : root.getObjGen());
        }
        for (int id = objects.first(); id < objects.end(); ++id) {
            changed.insert(QPDFObjGen(id, 0));
        }
        std::map<QPDFObjGen, std::string> texts;
        for (const QPDFObjGen& id : changed) {
            if (id == stampId) {
                std::string& text = texts[id];
                text = std::to_string(id.getObj()) +
                       " 0 obj\n<< /Type /DocTimeStamp /Filter /Adobe.PPKLite /SubFilter "
                       "/ETSI.RFC3161\n/ByteRange [";
                byteRangeAt = text.size();
                text += std::string(kByteRangeWidth, ' ') + "]\n/Contents <";
                contentsAt = text.size() - 1;
                text += std::string(2 * room, '0') + ">\n>>\nendobj\n";
            } else {
                texts[id] = objectText(qpdf.getObjectByObjGen(id));
            }
        }
        update = updateText(qpdf, in, *appending, texts);
        if (qpdf.anyWarnings()) {
            return needsRepair(inName, "qpdf warns while reading its objects");
        }
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    Bytes out;
    out.reserve(in.size() + update.body.size());
    out.insert(out.end(), in.begin(), in.end());
    out.insert(out.end(), update.body.begin(), update.body.end());
    const std::size_t objectAt = in.size() + update.at.at(stampId);
    const std::size_t gapStart = objectAt + contentsAt;
    const std::size_t gapEnd = gapStart + 2 * room + 2;
    const std::string range = "0 " + std::to_string(gapStart) + " " + std::to_string(gapEnd) +
                              " " + std::to_string(out.size() - gapEnd);
    std::copy(range.begin(), range.end(),
              out.begin() + static_cast<std::ptrdiff_t>(objectAt + byteRangeAt));
    const ByteView whole(out);
    Result<Bytes> token = requestTimestampTokenFor(
        tsa, cms::sha256({whole.first(gapStart), whole.subspan(gapEnd)}));
    if (!token) {
        return token.error();
    }
    if (token->size() > room) {
        needed = token->size() + 512;  // another token may be a few bytes longer
        return fail(PdfErrorKind::Timestamp, tsa.url,
                    "the document time-stamp token is larger than the " + std::to_string(room) +
                        " bytes reserved for it");
    }
    const std::string contents = hex(*token);
    std::copy(contents.begin(), contents.end(),
              out.begin() + static_cast<std::ptrdiff_t>(gapStart + 1));
    return out;
}

}  // namespace

Result<Bytes> addDocumentTimestamp(ByteView in, const std::string& inName,
                                   const TimestampAuthority& tsa) {
    std::size_t needed = 0;
    Result<Bytes> out = stampWithRoom(in, inName, tsa, kTokenRoom, needed);
    if (!out && needed > 0) {
        std::size_t again = 0;
        out = stampWithRoom(in, inName, tsa, needed, again);
    }
    return out;
}

}  // namespace penwell::pdf
