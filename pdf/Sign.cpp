// Signing: the objects of the update are made and changed in qpdf's model of the input, then
// written after the input's bytes together with a cross-reference section of the input's kind,
// and finally the byte range is hashed and the CMS put into the reserved /Contents.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFAcroFormDocumentHelper.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include "pdf/Cms.h"
#include "pdf/Document.h"
#include "pdf/PdfSignature.h"
#include "pdf/Revisions.h"

namespace penwell::pdf {

namespace {

/// Room for "0 a b c" in /ByteRange: four numbers of up to ten digits.
constexpr std::size_t kByteRangeWidth = 44;
/// Beyond the placeholder CMS: DER length fields that grow, and signatures (ECDSA) whose
/// encoding varies by a few bytes.
constexpr std::size_t kContentsMargin = 64;

/// The key under which the evidence's filespec records how many bytes of the file
/// the evidence is bound to: the revision that was signed.
constexpr const char* kDocumentLengthKey = "/Penwell.DocumentLength";

std::string hex(ByteView bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.4f", value);
    std::string s = buffer;
    s.erase(s.find_last_not_of('0') + 1);
    if (s.back() == '.') {
        s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

std::string pdfDate(std::chrono::system_clock::time_point time) {
    const std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "D:%Y%m%d%H%M%SZ", &utc);
    return buffer;
}

struct PageBox {
    double llx, lly, urx, ury;
};

PageBox boxOf(QPDFObjectHandle array) {
    const QPDFObjectHandle::Rectangle r = array.getArrayAsRectangle();
    return {std::min(r.llx, r.urx), std::min(r.lly, r.ury), std::max(r.llx, r.urx),
            std::max(r.lly, r.ury)};
}

/// Where the signature goes: the page, the widget's rectangle, and the field and widget
/// objects (one object for a new field, which is its own widget).
struct Place {
    QPDFObjectHandle page;
    PageBox rect{};
    QPDFObjectHandle field;
    QPDFObjectHandle widget;
    bool existingField = false;
};

bool annotsHold(QPDFObjectHandle page, QPDFObjGen widget) {
    QPDFObjectHandle annots = page.getKey("/Annots");
    if (!annots.isArray()) {
        return false;
    }
    for (int i = 0; i < annots.getArrayNItems(); ++i) {
        if (annots.getArrayItem(i).getObjGen() == widget) {
            return true;
        }
    }
    return false;
}

Outcome<Place> findPlace(QPDF& qpdf, std::vector<QPDFPageObjectHelper>& pages,
                         const SignRequest& request, const std::string& name) {
    Place place;
    if (const auto* onPage = std::get_if<PagePlacement>(&request.placement)) {
        if (onPage->page < 1 || static_cast<std::size_t>(onPage->page) > pages.size()) {
            return fail(PdfErrorKind::NoSuchPage, "--page " + std::to_string(onPage->page) + ": " +
                                                      name + " has " +
                                                      std::to_string(pages.size()) + " page(s)");
        }
        const double values[] = {onPage->x, onPage->y, onPage->width, onPage->height};
        const std::string rect = "--rect " + number(onPage->x) + "," + number(onPage->y) + "," +
                                 number(onPage->width) + "," + number(onPage->height);
        if (!std::all_of(std::begin(values), std::end(values),
                         [](double v) { return std::isfinite(v); }) ||
            !(onPage->width > 0.0) || !(onPage->height > 0.0)) {
            return fail(PdfErrorKind::BadRect, rect + ": needs a finite width and height above 0");
        }
        place.page = pages[static_cast<std::size_t>(onPage->page - 1)].getObjectHandle();
        const PageBox crop = boxOf(pages[static_cast<std::size_t>(onPage->page - 1)].getCropBox());
        place.rect = {onPage->x, onPage->y, onPage->x + onPage->width, onPage->y + onPage->height};
        constexpr double kSlack = 1e-6;
        if (place.rect.llx < crop.llx - kSlack || place.rect.lly < crop.lly - kSlack ||
            place.rect.urx > crop.urx + kSlack || place.rect.ury > crop.ury + kSlack) {
            return fail(PdfErrorKind::BadRect,
                        rect + ": lies off page " + std::to_string(onPage->page) +
                            ", whose box is " + number(crop.llx) + "," + number(crop.lly) + " to " +
                            number(crop.urx) + "," + number(crop.ury));
        }
        return place;
    }
    const std::string& fieldName = std::get<FieldPlacement>(request.placement).name;
    QPDFAcroFormDocumentHelper form(qpdf);
    for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
        if (field.getFullyQualifiedName() != fieldName) {
            continue;
        }
        if (field.getFieldType() != "/Sig") {
            return fail(PdfErrorKind::NotSignatureField,
                        "--field " + fieldName + ": not a signature field");
        }
        if (!field.getValue().isNull()) {
            return fail(PdfErrorKind::AlreadySigned, "--field " + fieldName + ": signed already");
        }
        place.field = field.getObjectHandle();
        place.existingField = true;
        QPDFObjectHandle kids = place.field.getKey("/Kids");
        place.widget =
            kids.isArray() && kids.getArrayNItems() > 0 ? kids.getArrayItem(0) : place.field;
        if (!place.widget.isIndirect() || !place.widget.getKey("/Rect").isRectangle()) {
            return fail(PdfErrorKind::NoSuchField,
                        "--field " + fieldName + ": has no widget with a rectangle");
        }
        for (QPDFPageObjectHelper& page : pages) {
            if (annotsHold(page.getObjectHandle(), place.widget.getObjGen())) {
                place.page = page.getObjectHandle();
            }
        }
        if (!place.page.isInitialized()) {
            return fail(PdfErrorKind::NoSuchField,
                        "--field " + fieldName + ": its widget is on no page");
        }
        place.rect = boxOf(place.widget.getKey("/Rect"));
        if (!(place.rect.urx - place.rect.llx > 0.0) || !(place.rect.ury - place.rect.lly > 0.0)) {
            return fail(PdfErrorKind::BadRect, "--field " + fieldName + ": its widget has no area");
        }
        return place;
    }
    return fail(PdfErrorKind::NoSuchField, "--field " + fieldName + ": no such field in " + name);
}

/// A field name no other field has.
std::string freeFieldName(QPDF& qpdf) {
    QPDFAcroFormDocumentHelper form(qpdf);
    std::set<std::string> taken;
    for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
        taken.insert(field.getFullyQualifiedName());
    }
    for (int i = 1;; ++i) {
        const std::string candidate = "Signature" + std::to_string(i);
        if (!taken.contains(candidate)) {
            return candidate;
        }
    }
}

/// The new objects of the update. Dictionaries are objects of the input's qpdf at numbers
/// chosen here; streams (the appearance with the ink's form and everything it uses, the
/// evidence) are objects of a scratch document, the ink's, renumbered when written. qpdf
/// numbers a new object of its own only after resolving every object of the file, which for a
/// large document costs more than all the rest of signing but the hash.
class NewObjects {
public:
    NewObjects(QPDF& qpdf, int first) : qpdf_(qpdf), first_(first), next_(first) {}

    /// `direct` as a new object of the input's qpdf.
    QPDFObjectHandle dictionary(QPDFObjectHandle direct) {
        qpdf_.replaceObject(next_, 0, direct);
        return qpdf_.getObject(next_++, 0);
    }

    /// Numbers a scratch object and every object it reaches; the result stands for it in the
    /// input's qpdf (an empty placeholder there, written as the scratch object).
    QPDFObjectHandle adopt(QPDFObjectHandle root) {
        std::vector<QPDFObjectHandle> pending{root};
        while (!pending.empty()) {
            QPDFObjectHandle h = pending.back();
            pending.pop_back();
            if (h.isIndirect()) {
                if (scratchIds_.contains(h.getObjGen())) {
                    continue;
                }
                if (scratchIds_.size() >= kMaxScratchObjects) {
                    throw std::runtime_error("the ink's picture has too many objects");
                }
                scratchIds_[h.getObjGen()] = next_;
                scratch_[next_++] = h;
            }
            if (h.isStream()) {
                h = h.getDict();
            }
            if (h.isDictionary()) {
                for (const std::string& key : h.getKeys()) {
                    pending.push_back(h.getKey(key));
                }
            } else if (h.isArray()) {
                for (int i = 0; i < h.getArrayNItems(); ++i) {
                    pending.push_back(h.getArrayItem(i));
                }
            }
        }
        const int id = scratchIds_.at(root.getObjGen());
        qpdf_.replaceObject(id, 0, QPDFObjectHandle::newDictionary());
        return qpdf_.getObject(id, 0);
    }

    int first() const { return first_; }
    int end() const { return next_; }

    /// The scratch object numbered `id`, written with the update's numbers; nil when `id` is
    /// a dictionary of the input's qpdf.
    std::optional<std::string> scratchText(int id) const {
        const auto found = scratch_.find(id);
        if (found == scratch_.end()) {
            return std::nullopt;
        }
        QPDFObjectHandle object = found->second;
        std::string text = std::to_string(id) + " 0 obj\n";
        if (object.isStream()) {
            const std::shared_ptr<Buffer> data = object.getRawStreamData();
            QPDFObjectHandle dict = object.getDict().shallowCopy();
            dict.replaceKey("/Length",
                            QPDFObjectHandle::newInteger(static_cast<long long>(data->getSize())));
            text += value(dict) + "\nstream\n";
            text.append(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
            text += "\nendstream";
        } else {
            text += value(object, true);
        }
        return text + "\nendobj\n";
    }

private:
    static constexpr std::size_t kMaxScratchObjects = 100000;

    std::string value(QPDFObjectHandle h, bool top = false) const {
        if (h.isIndirect() && !top) {
            return std::to_string(scratchIds_.at(h.getObjGen())) + " 0 R";
        }
        if (h.isDictionary()) {
            std::string text = "<<";
            for (const std::string& key : h.getKeys()) {
                // Appended piece by piece: GCC 12 at -O3 warns falsely about " " + string.
                text += ' ';
                text += QPDFObjectHandle::newName(key).unparse();
                text += ' ';
                text += value(h.getKey(key));
            }
            return text + " >>";
        }
        if (h.isArray()) {
            std::string text = "[";
            for (int i = 0; i < h.getArrayNItems(); ++i) {
                text += ' ';
                text += value(h.getArrayItem(i));
            }
            return text + " ]";
        }
        return h.unparse();
    }

    QPDF& qpdf_;
    int first_;
    int next_;
    std::map<QPDFObjGen, int> scratchIds_;
    std::map<int, QPDFObjectHandle> scratch_;
};

/// The ink's one-page PDF as a form XObject of `ink` (which parses it), with its box.
Outcome<std::pair<QPDFObjectHandle, PageBox>> importInk(QPDF& ink, ByteView inkPdf) {
    try {
        ink.setSuppressWarnings(true);
        ink.processMemoryFile("the ink's picture", reinterpret_cast<const char*>(inkPdf.data()),
                              inkPdf.size());
        std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(ink).getAllPages();
        if (pages.size() != 1) {
            return fail(PdfErrorKind::Appearance, "the ink's picture is not a one-page PDF");
        }
        QPDFObjectHandle form = pages[0].getFormXObjectForPage();
        const PageBox box = boxOf(form.getDict().getKey("/BBox"));
        return std::pair{form, box};
    } catch (const std::exception& e) {
        return fail(PdfErrorKind::Appearance,
                    std::string("the ink's picture cannot be read: ") + e.what());
    }
}

/// The widget's appearance: the ink's form scaled to fit the rectangle, aspect kept, centred.
QPDFObjectHandle appearance(QPDF& qpdf, QPDFObjectHandle ink, const PageBox& inkBox,
                            const PageBox& rect) {
    const double width = rect.urx - rect.llx, height = rect.ury - rect.lly;
    const double inkWidth = inkBox.urx - inkBox.llx, inkHeight = inkBox.ury - inkBox.lly;
    const double scale =
        inkWidth > 0.0 && inkHeight > 0.0 ? std::min(width / inkWidth, height / inkHeight) : 0.0;
    const double dx = (width - scale * inkWidth) / 2.0 - scale * inkBox.llx;
    const double dy = (height - scale * inkHeight) / 2.0 - scale * inkBox.lly;
    const std::string content = "q " + number(scale) + " 0 0 " + number(scale) + " " + number(dx) +
                                " " + number(dy) + " cm /Ink Do Q\n";
    QPDFObjectHandle stream = qpdf.newStream(content);
    QPDFObjectHandle dict = stream.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
    dict.replaceKey("/BBox", QPDFObjectHandle::newFromRectangle({0.0, 0.0, width, height}));
    dict.replaceKey("/Resources", QPDFObjectHandle::parse("<< /XObject << >> >>"));
    dict.getKey("/Resources").getKey("/XObject").replaceKey("/Ink", ink);
    return stream;
}

/// The evidence as an embedded file, in a filespec associated with the field.
QPDFObjectHandle evidenceFile(NewObjects& objects, QPDF& scratch, const Bytes& evidence,
                              std::size_t documentLength) {
    QPDFObjectHandle stream = scratch.newStream(
        std::string(reinterpret_cast<const char*>(evidence.data()), evidence.size()));
    QPDFObjectHandle dict = stream.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/EmbeddedFile"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/application/pkcs7-mime"));
    dict.replaceKey("/Params", QPDFObjectHandle::newDictionary());
    dict.getKey("/Params").replaceKey(
        "/Size", QPDFObjectHandle::newInteger(static_cast<long long>(evidence.size())));
    QPDFObjectHandle file = objects.adopt(stream);
    QPDFObjectHandle spec = objects.dictionary(QPDFObjectHandle::newDictionary());
    spec.replaceKey("/Type", QPDFObjectHandle::newName("/Filespec"));
    spec.replaceKey("/F", QPDFObjectHandle::newString("penwell-evidence.p7m"));
    spec.replaceKey("/UF", QPDFObjectHandle::newUnicodeString("penwell-evidence.p7m"));
    spec.replaceKey("/Desc", QPDFObjectHandle::newUnicodeString(
                                 "Penwell evidence record: the handwriting, encrypted for the "
                                 "receiver and bound to the signed revision's SHA-256"));
    spec.replaceKey("/AFRelationship", QPDFObjectHandle::newName("/Supplement"));
    spec.replaceKey("/EF", QPDFObjectHandle::newDictionary());
    spec.getKey("/EF").replaceKey("/F", file);
    spec.getKey("/EF").replaceKey("/UF", file);
    spec.replaceKey(kDocumentLengthKey,
                    QPDFObjectHandle::newInteger(static_cast<long long>(documentLength)));
    return spec;
}

/// Appends `item` to the array under `key` of `holder` (made when missing), and names the
/// object that changed: the array when it is an object of its own, else `holder`.
QPDFObjGen appendTo(QPDFObjectHandle holder, const char* key, QPDFObjectHandle item) {
    QPDFObjectHandle array = holder.getKey(key);
    if (!array.isArray()) {
        holder.replaceKey(key, QPDFObjectHandle::newArray());
        array = holder.getKey(key);
    }
    array.appendItem(item);
    return array.isIndirect() ? array.getObjGen() : holder.getObjGen();
}

/// An indirect object as it is written in the update.
std::string objectText(QPDFObjectHandle object) {
    const QPDFObjGen id = object.getObjGen();
    std::string text = std::to_string(id.getObj()) + " " + std::to_string(id.getGen()) + " obj\n";
    if (object.isStream()) {
        const std::shared_ptr<Buffer> data = object.getRawStreamData();
        QPDFObjectHandle dict = object.getDict();
        dict.replaceKey("/Length",
                        QPDFObjectHandle::newInteger(static_cast<long long>(data->getSize())));
        text += dict.unparse() + "\nstream\n";
        text.append(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
        text += "\nendstream";
    } else {
        text += object.unparseResolved();
    }
    return text + "\nendobj\n";
}

struct XrefEntry {
    int id;
    int gen;
    std::uint64_t offset;
};

/// Runs of consecutive object numbers: the subsections of a table, the /Index of a stream.
std::vector<std::pair<int, int>> runs(const std::vector<XrefEntry>& entries) {
    std::vector<std::pair<int, int>> out;
    for (const XrefEntry& e : entries) {
        if (!out.empty() && out.back().first + out.back().second == e.id) {
            ++out.back().second;
        } else {
            out.push_back({e.id, 1});
        }
    }
    return out;
}

void putBigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out += static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

/// The document opened and the signature's place found: everything a request is checked
/// for before anything is made.
struct Prepared {
    std::shared_ptr<QPDF> qpdf;
    std::uint64_t startXref = 0;
    XrefSection lastSection;
    std::vector<QPDFPageObjectHelper> pages;
    Place place;
};

Outcome<Prepared> prepare(ByteView in, const std::string& inName, const SignRequest& request) {
    for (const auto& [option, value] : {std::pair{"--reason", &request.reason},
                                        {"--location", &request.location},
                                        {"--name", &request.name}}) {
        if (value->size() > kMaxTextBytes) {
            return fail(PdfErrorKind::BadText, std::string(option) + ": longer than " +
                                                   std::to_string(kMaxTextBytes) + " bytes");
        }
    }
    Outcome<std::shared_ptr<QPDF>> opened = openDocument(in, inName);
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
        Outcome<Place> found = findPlace(*prepared.qpdf, prepared.pages, request, inName);
        if (!found) {
            return found.error();
        }
        prepared.place = std::move(*found);
    } catch (const std::exception& e) {
        return needsRepair(inName, e.what());
    }
    return prepared;
}

}  // namespace

Outcome<Placement> placementOf(const std::optional<std::string>& field, int page,
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
            return fail(PdfErrorKind::BadRect, "--rect " + *rect + ": expected X,Y,W,H in points");
        }
    }
    if (!(text >> std::ws).eof()) {
        return fail(PdfErrorKind::BadRect, "--rect " + *rect + ": expected X,Y,W,H in points");
    }
    return Placement{placement};
}

Outcome<SignaturePlace> checkSignRequest(ByteView in, const std::string& inName,
                                         const SignRequest& request) {
    Outcome<Prepared> prepared = prepare(in, inName, request);
    if (!prepared) {
        return prepared.error();
    }
    const Place& place = prepared->place;
    SignaturePlace where;
    for (std::size_t i = 0; i < prepared->pages.size(); ++i) {
        if (prepared->pages[i].getObjectHandle().getObjGen() == place.page.getObjGen()) {
            where.page = static_cast<int>(i) + 1;
        }
    }
    where.x = place.rect.llx;
    where.y = place.rect.lly;
    where.width = place.rect.urx - place.rect.llx;
    where.height = place.rect.ury - place.rect.lly;
    if (prepared->qpdf->anyWarnings()) {
        return needsRepair(inName, "qpdf warns while reading its objects");
    }
    return where;
}

Outcome<Bytes> signPdf(ByteView in, const std::string& inName, const SignRequest& request,
                       const SigningIdentity& identity) {
    Outcome<Prepared> prepared = prepare(in, inName, request);
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
        NewObjects objects(qpdf, static_cast<int>(first));
        std::set<QPDFObjGen> changed;

        Outcome<std::pair<QPDFObjectHandle, PageBox>> inkForm = importInk(ink, request.inkPdf);
        if (!inkForm) {
            return inkForm.error();
        }
        QPDFObjectHandle look =
            objects.adopt(appearance(ink, inkForm->first, inkForm->second, place.rect));
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
            changed.insert(appendTo(place.page, "/Annots", place.field));
        }
        place.field.replaceKey("/V", signature);
        place.widget.replaceKey("/AP", QPDFObjectHandle::newDictionary());
        place.widget.getKey("/AP").replaceKey("/N", look);
        changed.insert(place.field.getObjGen());
        changed.insert(place.widget.getObjGen());
        if (request.evidence) {
            // The one extra pass over the input, only when it is needed.
            Outcome<Bytes> evidence = request.evidence(cms::sha256({in}));
            if (!evidence) {
                return evidence.error();
            }
            QPDFObjectHandle files = QPDFObjectHandle::newArray();
            files.appendItem(evidenceFile(objects, ink, *evidence, in.size()));
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
            changed.insert(appendTo(form, "/Fields", place.field));
        }
        // SignaturesExist | AppendOnly: viewers keep to incremental updates from now on.
        const long long flags =
            form.getKey("/SigFlags").isInteger() ? form.getKey("/SigFlags").getIntValue() : 0;
        form.replaceKey("/SigFlags", QPDFObjectHandle::newInteger(flags | 3));
        changed.insert(form.isIndirect() ? form.getObjGen() : root.getObjGen());

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
        Outcome<Bytes> probe = cms::signDetached(identity, Sha256{}, true);
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
                contentsLength = 2 * (placeholder + kContentsMargin);
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
                body += "\n>>\nendobj\n";
            } else if (auto text = objects.scratchText(id.getObj())) {
                body += *text;
            } else {
                body += objectText(qpdf.getObjectByObjGen(id));
            }
        }

        // ---- cross-reference section and trailer, of the kind the input ends with
        const long long newSize = std::max<long long>(size, entries.back().id + 1);
        // The second identifier is new for this revision; hashing the whole input again for it
        // would double the cost of a large document, and the update and the time are unique.
        const std::string stamp = pdfDate(now);
        const Sha256 second = cms::sha256(
            {asBytes(stamp), asBytes(body), in.last(std::min<std::size_t>(in.size(), 4096))});
        QPDFObjectHandle oldId = trailer.getKey("/ID");
        const Bytes firstId = [&] {
            if (oldId.isArray() && oldId.getArrayNItems() == 2 &&
                oldId.getArrayItem(0).isString()) {
                const std::string s = oldId.getArrayItem(0).getStringValue();
                return Bytes(s.begin(), s.end());
            }
            return Bytes(second.begin(), second.begin() + 16);
        }();
        std::string common = "/Root " + trailer.getKey("/Root").unparse();
        if (trailer.getKey("/Info").isIndirect()) {
            common += " /Info " + trailer.getKey("/Info").unparse();
        }
        common += " /ID [<" + hex(firstId) + "> <" + hex(ByteView(second).first(16)) + ">] /Prev " +
                  std::to_string(startXref);
        const std::uint64_t xrefAt = in.size() + body.size();
        if (lastSection.table) {
            body += "xref\n";
            std::size_t next = 0;
            for (const auto& [first, count] : runs(entries)) {
                body += std::to_string(first) + " " + std::to_string(count) + "\n";
                for (int i = 0; i < count; ++i, ++next) {
                    char line[32];
                    std::snprintf(line, sizeof line, "%010llu %05d n\r\n",
                                  static_cast<unsigned long long>(entries[next].offset),
                                  entries[next].gen);
                    body += line;
                }
            }
            body += "trailer\n<< /Size " + std::to_string(newSize) + " " + common + " >>\n";
        } else {
            // The stream is an object of the update too, numbered after every other.
            entries.push_back({static_cast<int>(newSize), 0, xrefAt});
            std::string rows;
            for (const XrefEntry& e : entries) {
                putBigEndian(rows, 1, 1);
                putBigEndian(rows, e.offset, 4);
                putBigEndian(rows, static_cast<std::uint64_t>(e.gen), 2);
            }
            std::string index;
            for (const auto& [first, count] : runs(entries)) {
                index += (index.empty() ? "" : " ") + std::to_string(first) + " " +
                         std::to_string(count);
            }
            body += std::to_string(newSize) + " 0 obj\n<< /Type /XRef /Size " +
                    std::to_string(newSize + 1) + " /Index [" + index + "] /W [1 4 2] " + common +
                    " /Length " + std::to_string(rows.size()) + " >>\nstream\n" + rows +
                    "\nendstream\nendobj\n";
        }
        body += "startxref\n" + std::to_string(xrefAt) + "\n%%EOF\n";
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
    Outcome<Bytes> signedData = cms::signDetached(identity, digest, false);
    if (!signedData) {
        return signedData.error();
    }
    const std::string contents = hex(*signedData);
    if (contents.size() > contentsLength) {
        return fail(PdfErrorKind::SigningKey, "the CMS signature outgrew its reserved room");
    }
    std::copy(contents.begin(), contents.end(),
              out.begin() + static_cast<std::ptrdiff_t>(gapStart + 1));
    return out;
}

}  // namespace penwell::pdf
