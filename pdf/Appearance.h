#pragma once
// The signature's appearance: the ink's one-page PDF as a form XObject, fitted into the
// widget's rectangle as the reader sees it (turned back against the page's /Rotate, so the
// ink reads upright), and the evidence record as an embedded file. Private to the PDF library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cstddef>
#include <utility>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/pdf/Placement.h"
#include "penwell/pdf/Update.h"
#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

/// The key under which the evidence's filespec records how many bytes of the file the
/// evidence is bound to: the revision that was signed.
inline constexpr const char* kDocumentLengthKey = "/Penwell.DocumentLength";

/// The ink's one-page PDF as a form XObject of `ink` (which parses it), with its box.
Result<std::pair<QPDFObjectHandle, PageBox>> importInk(QPDF& ink, ByteView inkPdf);

/// The widget's appearance, a form XObject of `qpdf`: the ink's form scaled to fit the
/// rectangle as a reader sees it on a page turned by `rotate` degrees, aspect kept, centred.
QPDFObjectHandle appearance(QPDF& qpdf, QPDFObjectHandle ink, const PageBox& inkBox,
                            const PageBox& rect, int rotate);

/// The evidence as an embedded file (made in `scratch`, numbered by `objects`), in a filespec
/// to be associated with the field; bound to the first `documentLength` bytes of the file.
Result<QPDFObjectHandle> evidenceFile(NewObjects& objects, QPDF& scratch, const Bytes& evidence,
                                      std::size_t documentLength, const std::string& modified);

}  // namespace penwell::pdf
