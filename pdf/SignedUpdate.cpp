#include "penwell/pdf/SignedUpdate.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Placement.h"
#include "penwell/pdf/SignedData.h"
#include "penwell/pdf/Timestamp.h"

namespace penwell::pdf {

namespace {

/// Room for "0 a b c" in /ByteRange: four numbers of up to ten digits.
constexpr std::size_t kByteRangeWidth = 44;
/// Beyond the placeholder CMS: DER length fields that grow, and signatures (ECDSA) whose
/// encoding varies by a few bytes.
constexpr std::size_t kContentsMargin = 64;
/// SignaturesExist | AppendOnly: viewers keep to incremental updates from now on.
constexpr long long kSigFlags = 3;

/// Room in /Contents for a time-stamp token: one with the TSA's certificate and an
/// intermediate's is 2 to 6 KB. A larger one costs a second signing with room for it.
constexpr std::size_t kTokenRoom = 8192;
/// What a second token may be longer than the first by: its serial, its time.
constexpr std::size_t kRetryMargin = 512;

/// Room reserved beside a copied input for the update written after it (its objects, the ink's
/// appearance, the cross-reference section) and for the updates a B-LTA file adds after the
/// signature (the /DSS, the document time-stamp), so that the input is copied once. Larger
/// updates (a long evidence record) cost one more copy.
constexpr std::size_t kUpdateReserve = 64u << 10;

struct Gaps {
    std::size_t byteRangeAt = 0, contentsAt = 0;  ///< in the dictionary's text
};

/// The signature dictionary with a blank byte range and /Contents of zeros `room` bytes long;
/// where those are in its text.
std::string signatureText(QPDFObjGen id, const SignatureEntries& entries, std::size_t room,
                          Gaps& gaps) {
    std::string text = std::to_string(id.getObj()) + " 0 obj\n<< " +
                       (entries.documentTimestamp
                            ? "/Type /DocTimeStamp /Filter /Adobe.PPKLite /SubFilter /ETSI.RFC3161"
                            : "/Type /Sig /Filter /Adobe.PPKLite /SubFilter /ETSI.CAdES.detached") +
                       "\n/ByteRange [";
    gaps.byteRangeAt = text.size();
    text += std::string(kByteRangeWidth, ' ') + "]\n/Contents <";
    gaps.contentsAt = text.size() - 1;
    text += std::string(2 * room, '0') + ">";
    if (!entries.documentTimestamp) {
        text += "\n/M " + QPDFObjectHandle::newString(pdfDate(entries.time)).unparse();
        for (const auto& [key, value] : {std::pair{"/Reason", &entries.reason},
                                         {"/Location", &entries.location},
                                         {"/Name", &entries.name}}) {
            if (!value->empty()) {
                text += std::string("\n") + key + " " +
                        QPDFObjectHandle::newUnicodeString(*value).unparse();
            }
        }
        if (entries.reference) {
            text += "\n/Reference " + QPDFObjectHandle(*entries.reference).unparse();
        }
    }
    return text + "\n>>\nendobj\n";
}

}  // namespace

Result<UpdateBase> openForUpdate(ByteView in, const std::string& inName) {
    Result<std::shared_ptr<QPDF>> opened = openDocument(in, inName);
    if (!opened) {
        return opened.error();
    }
    UpdateBase base;
    base.qpdf = std::move(*opened);
    const std::optional<std::uint64_t> startXref = lastStartXref(in);
    const std::optional<XrefSection> lastSection =
        startXref ? readXrefSection(in, *startXref) : std::nullopt;
    if (!lastSection || !endsWithEof(in)) {
        return needsRepair(inName, "it does not end with a cross-reference section and %%EOF");
    }
    base.startXref = *startXref;
    base.lastSection = *lastSection;
    try {
        QPDFObjectHandle trailer = base.qpdf->getTrailer();
        const std::map<QPDFObjGen, QPDFXRefEntry> xref = base.qpdf->getXRefTable();
        base.size = trailer.getKey("/Size").isInteger() ? trailer.getKey("/Size").getIntValue() : 0;
        base.first =
            std::max<long long>(base.size, xref.empty() ? 1 : xref.rbegin()->first.getObj() + 1);
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    if (base.first > (1 << 23)) {
        return needsRepair(inName, "its /Size or object numbers are beyond 8388608");
    }
    return base;
}

void enterSignatureField(QPDF& qpdf, NewObjects& objects, QPDFObjectHandle field, bool newField,
                         std::set<QPDFObjGen>& changed) {
    QPDFObjectHandle root = qpdf.getRoot();
    QPDFObjectHandle form = root.getKey("/AcroForm");
    if (!form.isDictionary()) {
        root.replaceKey("/AcroForm", objects.dictionary(QPDFObjectHandle::newDictionary()));
        form = root.getKey("/AcroForm");
        changed.insert(root.getObjGen());
    }
    if (newField) {
        // A form written into the catalog is written with it.
        changed.insert(appendTo(form, "/Fields", field, root.getObjGen()));
    }
    const long long flags =
        form.getKey("/SigFlags").isInteger() ? form.getKey("/SigFlags").getIntValue() : 0;
    // Rewritten only when it changes: a form left as it was is one change fewer for a
    // validator to judge after earlier signatures.
    if ((flags & kSigFlags) != kSigFlags) {
        form.replaceKey("/SigFlags", QPDFObjectHandle::newInteger(flags | kSigFlags));
        changed.insert(form.isIndirect() ? form.getObjGen() : root.getObjGen());
    }
}

QPDFObjectHandle addInvisibleField(QPDF& qpdf, NewObjects& objects, QPDFObjectHandle page,
                                   QPDFObjectHandle value, const std::string& stem,
                                   std::set<QPDFObjGen>& changed) {
    QPDFObjectHandle field = objects.dictionary(QPDFObjectHandle::parse(
        "<< /Type /Annot /Subtype /Widget /FT /Sig /F 132 /Rect [0 0 0 0] >>"));
    field.replaceKey("/T", QPDFObjectHandle::newUnicodeString(freeFieldName(qpdf, stem)));
    field.replaceKey("/P", page);
    field.replaceKey("/V", value);
    changed.insert(appendTo(page, "/Annots", field, page.getObjGen()));
    enterSignatureField(qpdf, objects, field, true, changed);
    for (int id = objects.first(); id < objects.end(); ++id) {
        changed.insert(QPDFObjGen(id, 0));
    }
    return field;
}

UpdateText updateText(QPDF& qpdf, ByteView in, const UpdateBase& base,
                      const std::map<QPDFObjGen, std::string>& objects, const std::string& stamp) {
    UpdateText out;
    if (!in.empty() && in.back() != '\n' && in.back() != '\r') {
        out.body += '\n';
    }
    std::vector<XrefEntry> entries;
    for (const auto& [id, text] : objects) {
        out.at[id] = out.body.size();
        entries.push_back({id.getObj(), id.getGen(), in.size() + out.body.size()});
        out.body += text;
    }
    const long long newSize = std::max<long long>(base.size, entries.back().id + 1);
    const std::string trailer =
        updateTrailer(qpdf.getTrailer(), base.startXref, stamp, out.body, in);
    out.xrefAt = in.size() + out.body.size();
    // A cross-reference stream is an object of its own, numbered newSize.
    out.size = base.lastSection.table ? newSize : newSize + 1;
    out.body +=
        xrefSection(std::move(entries), base.lastSection.table, out.xrefAt, newSize, trailer);
    return out;
}

UpdateBase chainedBase(const UpdateBase& base, const UpdateText& text, int end) {
    UpdateBase next = base;
    next.startXref = text.xrefAt;
    next.lastSection = {text.xrefAt, base.lastSection.table, base.startXref};
    next.size = text.size;
    next.first = std::max<long long>(text.size, end);
    return next;
}

Result<ContentsSource> cadesContents(const SigningIdentity& identity,
                                     const std::optional<TimestampAuthority>& tsa) {
    // The same CMS with a zero digest and a signature of the key's largest size: the real
    // one is no longer, and nothing is signed twice.
    Result<Bytes> probe = cms::signDetached(identity, Sha256{}, true);
    if (!probe) {
        return probe.error();
    }
    ContentsSource source;
    source.room = probe->size() + kContentsMargin + (tsa ? kTokenRoom : 0);
    source.read = std::make_shared<cms::ReadSigners>();
    source.make = [&identity, tsa, read = source.read](const Sha256& digest) {
        *read = {};  // a second attempt, with more room, signs anew
        return cms::signDetached(identity, digest, false, tsa ? &*tsa : nullptr, read.get());
    };
    source.tooLarge = [tsa] {
        return tsa ? fail(PdfErrorKind::Timestamp, tsa->url,
                          "the time-stamp token is larger than the room reserved for it")
                   : fail(PdfErrorKind::SigningKey, "the CMS signature outgrew its reserved room");
    };
    return source;
}

Result<UpdateText> appendSignedUpdate(Bytes& file, const std::string& inName,
                                      const UpdateBase& base, const NewObjects& objects,
                                      const std::set<QPDFObjGen>& changed, QPDFObjGen signature,
                                      const SignatureEntries& entries,
                                      const ContentsSource& contents) {
    QPDF& qpdf = *base.qpdf;
    const std::size_t inSize = file.size();
    std::size_t room = contents.room;
    std::optional<cms::PrefixHash> atInput;  // each attempt hashes on from here
    if (base.hashed) {
        base.hashed->extendTo(ByteView(file), inSize);
        atInput = *base.hashed;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        file.resize(inSize);  // a first attempt's update is dropped whole
        UpdateText update;
        Gaps gaps;
        try {
            std::map<QPDFObjGen, std::string> texts;
            for (const QPDFObjGen& id : changed) {
                if (id == signature) {
                    texts[id] = signatureText(id, entries, room, gaps);
                } else if (auto text = objects.scratchText(id.getObj())) {
                    texts[id] = *text;
                } else {
                    texts[id] = objectText(qpdf.getObjectByObjGen(id));
                }
            }
            update = updateText(qpdf, ByteView(file), base, texts, pdfDate(entries.time));
            if (qpdf.anyWarnings()) {
                return needsRepair(inName, "qpdf warns while reading its objects");
            }
        } catch (const std::exception& e) {
            return needsRepair(inName, e.what());
        }

        // ---- the byte range, its digest, the contents
        if (file.capacity() < inSize + update.body.size()) {
            file.reserve(inSize + update.body.size() + kUpdateReserve);
        }
        file.insert(file.end(), update.body.begin(), update.body.end());
        const std::size_t objectAt = inSize + update.at.at(signature);
        const std::size_t gapStart = objectAt + gaps.contentsAt;
        const std::size_t gapEnd = gapStart + 2 * room + 2;
        const std::string range = "0 " + std::to_string(gapStart) + " " + std::to_string(gapEnd) +
                                  " " + std::to_string(file.size() - gapEnd);
        std::copy(range.begin(), range.end(),
                  file.begin() + static_cast<std::ptrdiff_t>(objectAt + gaps.byteRangeAt));
        const ByteView whole(file);
        std::optional<cms::PrefixHash> hashed = atInput;
        if (hashed) {
            hashed->extendTo(whole, gapStart);
        }
        Result<Bytes> made =
            contents.make(hashed ? hashed->digestWith(whole.subspan(gapEnd))
                                 : cms::sha256({whole.first(gapStart), whole.subspan(gapEnd)}));
        if (!made) {
            file.resize(inSize);
            return made.error();
        }
        if (made->size() <= room) {
            const std::string text = hex(*made);
            std::copy(text.begin(), text.end(),
                      file.begin() + static_cast<std::ptrdiff_t>(gapStart + 1));
            if (hashed) {
                hashed->extendTo(whole, file.size());
                *base.hashed = std::move(*hashed);
            }
            return update;
        }
        room = made->size() + kRetryMargin;
    }
    file.resize(inSize);
    return contents.tooLarge();
}

Result<Bytes> writeSignedUpdate(ByteView in, const std::string& inName, const UpdateBase& base,
                                const NewObjects& objects, const std::set<QPDFObjGen>& changed,
                                QPDFObjGen signature, const SignatureEntries& entries,
                                const ContentsSource& contents, const AfterSignature& after) {
    Bytes out;
    // Room for the update beside the input, so that appending it copies the input only once.
    out.reserve(in.size() + 2 * contents.room + kUpdateReserve);
    out.assign(in.begin(), in.end());
    UpdateBase hashing = base;
    if (after) {
        // The updates after it cover the same document: it is hashed once for all of them.
        hashing.hashed = std::make_shared<cms::PrefixHash>();
    }
    Result<UpdateText> update =
        appendSignedUpdate(out, inName, hashing, objects, changed, signature, entries, contents);
    if (!update) {
        return update.error();
    }
    if (after) {
        if (MaybeFailure failed =
                after(out, chainedBase(hashing, *update, objects.end()), *contents.read)) {
            return *failed;
        }
    }
    return out;
}

}  // namespace penwell::pdf
