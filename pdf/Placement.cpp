#include "penwell/pdf/Placement.h"

#include <qpdf/QPDFAcroFormDocumentHelper.hh>

#include <algorithm>
#include <cmath>
#include <set>

#include "penwell/pdf/Document.h"
#include "penwell/pdf/Update.h"

namespace penwell::pdf {

namespace {

bool annotsHold(QPDFObjectHandle page, QPDFObjGen widget) {
    QPDFObjectHandle annots = page.getKey("/Annots");
    for (int i = 0; annots.isArray() && i < annots.getArrayNItems(); ++i) {
        if (annots.getArrayItem(i).getObjGen() == widget) {
            return true;
        }
    }
    return false;
}

/// The page's /Rotate (inherited from the page tree), as 0, 90, 180 or 270.
int rotationOf(QPDFPageObjectHelper& page) {
    QPDFObjectHandle rotate = page.getAttribute("/Rotate", false);
    if (!rotate.isInteger()) {
        return 0;
    }
    // Only multiples of 90 are meaningful; readers round others down to one.
    const long long r = ((rotate.getIntValue() % 360) + 360) % 360;
    return static_cast<int>(r - r % 90);
}

/// The part of the page a reader shows: the crop box within the media box. Nil when the page
/// has no media box of any area, which only a damaged file lacks.
std::optional<PageBox> visibleBox(QPDFPageObjectHelper& page) {
    const std::optional<PageBox> media = boxOf(page.getAttribute("/MediaBox", false));
    if (!media || !(media->width() > 0.0) || !(media->height() > 0.0)) {
        return std::nullopt;
    }
    const std::optional<PageBox> crop = boxOf(page.getAttribute("/CropBox", false));
    if (!crop) {
        return media;
    }
    const PageBox shown{std::max(crop->llx, media->llx), std::max(crop->lly, media->lly),
                        std::min(crop->urx, media->urx), std::min(crop->ury, media->ury)};
    // A crop box outside the media box is ignored by readers, who show the media box.
    return shown.width() > 0.0 && shown.height() > 0.0 ? shown : *media;
}

Result<Place> onPage(std::vector<QPDFPageObjectHelper>& pages, const PagePlacement& where,
                     const std::string& name) {
    if (where.page < 1 || static_cast<std::size_t>(where.page) > pages.size()) {
        return fail(PdfErrorKind::NoSuchPage, "--page " + std::to_string(where.page),
                    name + " has " + std::to_string(pages.size()) + " page(s)");
    }
    const double values[] = {where.x, where.y, where.width, where.height};
    const std::string rect = "--rect " + number(where.x) + "," + number(where.y) + "," +
                             number(where.width) + "," + number(where.height);
    if (!std::all_of(std::begin(values), std::end(values),
                     [](double v) { return std::isfinite(v); }) ||
        !(where.width > 0.0) || !(where.height > 0.0)) {
        return fail(PdfErrorKind::BadRect, rect, "needs a finite width and height above 0");
    }
    QPDFPageObjectHelper& page = pages[static_cast<std::size_t>(where.page - 1)];
    const std::optional<PageBox> shown = visibleBox(page);
    if (!shown) {
        return fail(
            PdfErrorKind::NeedsRepair, name,
            "damaged: page " + std::to_string(where.page) + " has no media box with an area");
    }
    Place place;
    place.page = page.getObjectHandle();
    place.pageNumber = where.page;
    place.rotate = rotationOf(page);
    // From the corner of what the reader sees, as someone measuring on the screen counts.
    place.rect = {shown->llx + where.x, shown->lly + where.y, shown->llx + where.x + where.width,
                  shown->lly + where.y + where.height};
    constexpr double kSlack = 1e-6;
    if (place.rect.urx > shown->urx + kSlack || place.rect.ury > shown->ury + kSlack ||
        where.x < -kSlack || where.y < -kSlack) {
        return fail(PdfErrorKind::BadRect, rect,
                    "lies off page " + std::to_string(where.page) + ", whose crop box is " +
                        number(shown->width()) + " by " + number(shown->height()) + " points");
    }
    return place;
}

Result<Place> inField(QPDF& qpdf, std::vector<QPDFPageObjectHelper>& pages,
                      const std::string& fieldName, const std::string& name) {
    QPDFAcroFormDocumentHelper form(qpdf);
    for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
        if (field.getFullyQualifiedName() != fieldName) {
            continue;
        }
        if (field.getFieldType() != "/Sig") {
            return fail(PdfErrorKind::NotSignatureField, "--field " + fieldName,
                        "not a signature field");
        }
        if (!field.getValue().isNull()) {
            return fail(PdfErrorKind::AlreadySigned, "--field " + fieldName, "signed already");
        }
        Place place;
        place.existingField = true;
        place.fieldName = fieldName;
        // qpdf lists a field by its widget; a widget without /T is a kid of the field proper,
        // which is where the value goes (readers that start from /Fields look there).
        QPDFObjectHandle handle = field.getObjectHandle();
        place.field = handle;
        for (int i = 0; i < kMaxFieldParents && !place.field.getKey("/T").isString() &&
                        place.field.getKey("/Parent").isDictionary();
             ++i) {
            place.field = place.field.getKey("/Parent");
        }
        QPDFObjectHandle kids = place.field.getKey("/Kids");
        place.widget = handle.getKey("/Subtype").isNameAndEquals("/Widget") ? handle
                       : kids.isArray() && kids.getArrayNItems() > 0        ? kids.getArrayItem(0)
                                                                            : place.field;
        const std::optional<PageBox> rect =
            place.widget.isDictionary() ? boxOf(place.widget.getKey("/Rect")) : std::nullopt;
        if (!place.widget.isIndirect() || !place.field.isIndirect() || !rect) {
            return fail(PdfErrorKind::NoSuchField, "--field " + fieldName,
                        "has no widget with a rectangle");
        }
        for (std::size_t i = 0; i < pages.size(); ++i) {
            if (!place.page.isInitialized() &&
                annotsHold(pages[i].getObjectHandle(), place.widget.getObjGen())) {
                place.page = pages[i].getObjectHandle();
                place.pageNumber = static_cast<int>(i) + 1;
                place.rotate = rotationOf(pages[i]);
            }
        }
        if (!place.page.isInitialized()) {
            return fail(PdfErrorKind::NoSuchField, "--field " + fieldName,
                        "its widget is on no page");
        }
        place.rect = *rect;
        if (!(place.rect.width() > 0.0) || !(place.rect.height() > 0.0)) {
            return fail(PdfErrorKind::BadRect, "--field " + fieldName, "its widget has no area");
        }
        return place;
    }
    return fail(PdfErrorKind::NoSuchField, "--field " + fieldName, "no such field in " + name);
}

}  // namespace

std::optional<PageBox> boxOf(QPDFObjectHandle array) {
    if (!array.isRectangle()) {
        return std::nullopt;
    }
    const QPDFObjectHandle::Rectangle r = array.getArrayAsRectangle();
    const PageBox box{std::min(r.llx, r.urx), std::min(r.lly, r.ury), std::max(r.llx, r.urx),
                      std::max(r.lly, r.ury)};
    if (!std::isfinite(box.llx) || !std::isfinite(box.lly) || !std::isfinite(box.urx) ||
        !std::isfinite(box.ury)) {
        return std::nullopt;
    }
    return box;
}

Result<Place> findPlace(QPDF& qpdf, std::vector<QPDFPageObjectHelper>& pages,
                        const SignRequest& request, const std::string& name) {
    if (const auto* where = std::get_if<PagePlacement>(&request.placement)) {
        return onPage(pages, *where, name);
    }
    return inField(qpdf, pages, std::get<FieldPlacement>(request.placement).name, name);
}

std::string freeFieldName(QPDF& qpdf, const std::string& stem) {
    QPDFAcroFormDocumentHelper form(qpdf);
    std::set<std::string> taken;
    for (QPDFFormFieldObjectHelper field : form.getFormFields()) {
        taken.insert(field.getFullyQualifiedName());
    }
    for (int i = 1;; ++i) {
        const std::string candidate = stem + std::to_string(i);
        if (!taken.contains(candidate)) {
            return candidate;
        }
    }
}

}  // namespace penwell::pdf
