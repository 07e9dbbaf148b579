#pragma once
// Where a signature goes: the page and rectangle of a new field, or an existing empty field's
// terminal field and widget, with the page's rotation. Private to the PDF library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <string>
#include <vector>

#include "penwell/pdf/PdfSignature.h"

namespace penwell::pdf {

struct PageBox {
    double llx = 0.0, lly = 0.0, urx = 0.0, ury = 0.0;
    double width() const { return urx - llx; }
    double height() const { return ury - lly; }
};

/// A rectangle array as a box with its corners in order; nil for anything else.
std::optional<PageBox> boxOf(QPDFObjectHandle array);

/// Where the signature goes: the page, the widget's rectangle in default user space, the
/// page's /Rotate, and the field and widget objects. A new field is its own widget; an
/// existing field is the terminal field (which holds /V, /AF and any /Lock), its widget the
/// annotation on the page (the same object when they are merged).
struct Place {
    QPDFObjectHandle page;
    int pageNumber = 1;
    PageBox rect;
    int rotate = 0;  ///< 0, 90, 180 or 270: how far clockwise a reader turns the page
    QPDFObjectHandle field;
    QPDFObjectHandle widget;
    std::string fieldName;  ///< an existing field's fully qualified name
    bool existingField = false;
};

/// Finds the place the request names in `qpdf` (whose pages are `pages`), or refuses: a page
/// beyond the document, a rectangle of no area or off the crop box, a page without a valid
/// media box (a damaged file), a field that is missing, no signature field, signed already, or
/// without a widget on a page. Messages name `name` or the option at fault.
Result<Place> findPlace(QPDF& qpdf, std::vector<QPDFPageObjectHelper>& pages,
                        const SignRequest& request, const std::string& name);

/// A field name no other field has: Signature1, Signature2, ... (`stem` for another word).
std::string freeFieldName(QPDF& qpdf, const std::string& stem = "Signature");

}  // namespace penwell::pdf
