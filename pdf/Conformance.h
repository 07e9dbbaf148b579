#pragma once
// Whether a document claims PDF/A, and what signing it does to that claim. Private to the PDF
// library.

#include <qpdf/QPDF.hh>

#include <optional>
#include <string>

namespace penwell::pdf {

/// The PDF/A claim of the document's XMP metadata (pdfaid:part and pdfaid:conformance), as
/// "PDF/A-2B"; nil when it claims none or its metadata cannot be read.
std::optional<std::string> pdfaClaim(QPDF& document);

/// Why a document claiming `claim` no longer conforms once signed (the ink's appearance
/// carries a transparency group; the evidence record, when `withEvidence`, is an embedded
/// file that is no PDF/A file); nil when it still does as far as the signature goes.
std::optional<std::string> pdfaLoss(const std::string& claim, bool withEvidence);

}  // namespace penwell::pdf
