#include "penwell/pdf/Appearance.h"

#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <algorithm>

namespace penwell::pdf {

Result<std::pair<QPDFObjectHandle, PageBox>> importInk(QPDF& ink, ByteView inkPdf) {
    try {
        ink.setSuppressWarnings(true);
        ink.processMemoryFile("the ink's picture", reinterpret_cast<const char*>(inkPdf.data()),
                              inkPdf.size());
        std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(ink).getAllPages();
        if (pages.size() != 1) {
            return fail(PdfErrorKind::Appearance, "the ink's picture is not a one-page PDF");
        }
        QPDFObjectHandle form = pages[0].getFormXObjectForPage();
        const std::optional<PageBox> box = boxOf(form.getDict().getKey("/BBox"));
        if (!box) {
            return fail(PdfErrorKind::Appearance, "the ink's picture has no page box");
        }
        return std::pair{form, *box};
    } catch (const std::exception& e) {
        return fail(PdfErrorKind::Appearance,
                    std::string("the ink's picture cannot be read: ") + e.what());
    }
}

QPDFObjectHandle appearance(QPDF& qpdf, QPDFObjectHandle ink, const PageBox& inkBox,
                            const PageBox& rect, int rotate) {
    // A reader turns the page, and the widget with it, by /Rotate clockwise: the ink is fitted
    // into the rectangle as it is seen, and the form's matrix turns it back as far the other
    // way (the rectangle's fit then only moves it), as PDF editors place upright widgets.
    const bool sideways = rotate == 90 || rotate == 270;
    const double width = sideways ? rect.height() : rect.width();
    const double height = sideways ? rect.width() : rect.height();
    const double inkWidth = inkBox.width(), inkHeight = inkBox.height();
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
    if (rotate != 0) {
        // Counter-clockwise by `rotate`: [cos sin -sin cos 0 0].
        const int cosine = rotate == 180 ? -1 : rotate == 0 ? 1 : 0;
        const int sine = rotate == 90 ? 1 : rotate == 270 ? -1 : 0;
        const QPDFObjectHandle::Matrix turn(cosine, sine, -sine, cosine, 0.0, 0.0);
        dict.replaceKey("/Matrix", QPDFObjectHandle::newFromMatrix(turn));
    }
    dict.replaceKey("/Resources", QPDFObjectHandle::parse("<< /XObject << >> >>"));
    dict.getKey("/Resources").getKey("/XObject").replaceKey("/Ink", ink);
    return stream;
}

Result<QPDFObjectHandle> evidenceFile(NewObjects& objects, QPDF& scratch, const Bytes& evidence,
                              std::size_t documentLength, const std::string& modified) {
    QPDFObjectHandle stream = scratch.newStream(
        std::string(reinterpret_cast<const char*>(evidence.data()), evidence.size()));
    QPDFObjectHandle dict = stream.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/EmbeddedFile"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/application/pkcs7-mime"));
    dict.replaceKey("/Params", QPDFObjectHandle::newDictionary());
    dict.getKey("/Params").replaceKey(
        "/Size", QPDFObjectHandle::newInteger(static_cast<long long>(evidence.size())));
    // PDF/A-3 asks every embedded file for its modification date.
    dict.getKey("/Params").replaceKey("/ModDate", QPDFObjectHandle::newString(modified));
    Result<QPDFObjectHandle> file = objects.adopt(stream);
    if (!file) {
        return file;
    }
    QPDFObjectHandle spec = objects.dictionary(QPDFObjectHandle::newDictionary());
    spec.replaceKey("/Type", QPDFObjectHandle::newName("/Filespec"));
    spec.replaceKey("/F", QPDFObjectHandle::newString("penwell-evidence.p7m"));
    spec.replaceKey("/UF", QPDFObjectHandle::newUnicodeString("penwell-evidence.p7m"));
    spec.replaceKey("/Desc", QPDFObjectHandle::newUnicodeString(
                                 "Penwell evidence record: the handwriting, encrypted for the "
                                 "receiver and bound to the signed revision's SHA-256"));
    spec.replaceKey("/AFRelationship", QPDFObjectHandle::newName("/Supplement"));
    spec.replaceKey("/EF", QPDFObjectHandle::newDictionary());
    spec.getKey("/EF").replaceKey("/F", *file);
    spec.getKey("/EF").replaceKey("/UF", *file);
    spec.replaceKey(kDocumentLengthKey,
                    QPDFObjectHandle::newInteger(static_cast<long long>(documentLength)));
    return spec;
}

}  // namespace penwell::pdf
