#include "penwell/pdf/SignedUpdate.h"

#include <algorithm>
#include <map>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/SignedData.h"

namespace penwell::pdf {

namespace {

/// Room for "0 a b c" in /ByteRange: four numbers of up to ten digits.
constexpr std::size_t kByteRangeWidth = 44;
/// Beyond the placeholder CMS: DER length fields that grow, and signatures (ECDSA) whose
/// encoding varies by a few bytes.
constexpr std::size_t kContentsMargin = 64;
/// SignaturesExist | AppendOnly: viewers keep to incremental updates from now on.
constexpr long long kSigFlags = 3;

struct Gaps {
    std::size_t byteRangeAt = 0, contentsAt = 0, contentsLength = 0;
};

/// The signature dictionary with a blank byte range and /Contents of zeros `placeholder`
/// bytes long (and a margin); where they are, relative to `body`'s end before it.
std::string signatureText(QPDFObjGen id, const SignatureEntries& entries, std::size_t placeholder,
                          std::size_t at, Gaps& gaps) {
    std::string text = std::to_string(id.getObj()) +
                       " 0 obj\n<< /Type /Sig /Filter "
                       "/Adobe.PPKLite /SubFilter /ETSI.CAdES.detached\n/ByteRange [";
    gaps.byteRangeAt = at + text.size();
    text += std::string(kByteRangeWidth, ' ') + "]\n/Contents <";
    gaps.contentsAt = at + text.size() - 1;
    gaps.contentsLength = 2 * (placeholder + kContentsMargin);
    text += std::string(gaps.contentsLength, '0') + ">\n/M " +
            QPDFObjectHandle::newString(pdfDate(entries.time)).unparse();
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
    return text + "\n>>\nendobj\n";
}

/// The trailer's entries but /Size: the catalog, the information, a new second identifier
/// and the previous section.
std::string trailerText(ByteView in, QPDFObjectHandle trailer, const std::string& body,
                        const std::string& stamp, std::uint64_t startXref) {
    // The second identifier is new for this revision; hashing the whole input again for it
    // would double the cost of a large document, and the update and the time are unique.
    const Sha256 second = cms::sha256(
        {asBytes(stamp), asBytes(body), in.last(std::min<std::size_t>(in.size(), 4096))});
    QPDFObjectHandle oldId = trailer.getKey("/ID");
    const Bytes firstId = [&] {
        if (oldId.isArray() && oldId.getArrayNItems() == 2 && oldId.getArrayItem(0).isString()) {
            const std::string s = oldId.getArrayItem(0).getStringValue();
            return Bytes(s.begin(), s.end());
        }
        return Bytes(second.begin(), second.begin() + 16);
    }();
    std::string common = "/Root " + trailer.getKey("/Root").unparse();
    if (trailer.getKey("/Info").isIndirect()) {
        common += " /Info " + trailer.getKey("/Info").unparse();
    }
    return common + " /ID [<" + hex(firstId) + "> <" + hex(ByteView(second).first(16)) +
           ">] /Prev " + std::to_string(startXref);
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

Result<Bytes> writeSignedUpdate(ByteView in, const std::string& inName, const UpdateBase& base,
                                const NewObjects& objects, const std::set<QPDFObjGen>& changed,
                                QPDFObjGen signature, const SignatureEntries& entries,
                                const SigningIdentity& identity) {
    QPDF& qpdf = *base.qpdf;
    // The same CMS with a zero digest and a signature of the key's largest size: the real
    // one is no longer, and nothing is signed twice.
    Result<Bytes> probe = cms::signDetached(identity, Sha256{}, true);
    if (!probe) {
        return probe.error();
    }
    std::string body;
    Gaps gaps;
    try {
        if (!in.empty() && in.back() != '\n' && in.back() != '\r') {
            body += '\n';
        }
        std::vector<XrefEntry> entriesOut;
        for (const QPDFObjGen& id : changed) {
            entriesOut.push_back({id.getObj(), id.getGen(), in.size() + body.size()});
            if (id == signature) {
                body += signatureText(id, entries, probe->size(), body.size(), gaps);
            } else if (auto text = objects.scratchText(id.getObj())) {
                body += *text;
            } else {
                body += objectText(qpdf.getObjectByObjGen(id));
            }
        }
        const long long newSize = std::max<long long>(base.size, entriesOut.back().id + 1);
        const std::string trailer =
            trailerText(in, qpdf.getTrailer(), body, pdfDate(entries.time), base.startXref);
        body += xrefSection(std::move(entriesOut), base.lastSection.table, in.size() + body.size(),
                            newSize, trailer);
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
    const std::size_t gapStart = in.size() + gaps.contentsAt;
    const std::size_t gapEnd = gapStart + gaps.contentsLength + 2;
    const std::string range = "0 " + std::to_string(gapStart) + " " + std::to_string(gapEnd) + " " +
                              std::to_string(out.size() - gapEnd);
    std::copy(range.begin(), range.end(),
              out.begin() + static_cast<std::ptrdiff_t>(in.size() + gaps.byteRangeAt));
    const ByteView whole(out);
    const Sha256 digest = cms::sha256({whole.first(gapStart), whole.subspan(gapEnd)});
    Result<Bytes> signedData = cms::signDetached(identity, digest, false);
    if (!signedData) {
        return signedData.error();
    }
    const std::string contents = hex(*signedData);
    if (contents.size() > gaps.contentsLength) {
        return fail(PdfErrorKind::SigningKey, "the CMS signature outgrew its reserved room");
    }
    std::copy(contents.begin(), contents.end(),
              out.begin() + static_cast<std::ptrdiff_t>(gapStart + 1));
    return out;
}

}  // namespace penwell::pdf
