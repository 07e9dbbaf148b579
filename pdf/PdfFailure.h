#pragma once
// How the PDF library fails: every call that can fail answers a Result (platform/Result.h)
// whose Failure is in kPdfErrorDomain, its code a PdfErrorKind, its message one line naming
// the input at fault (the file, an option such as --rect, a field) and what is wrong with it.
// Callers print the message; they never work out the reason again.

#include <cstdint>
#include <string>
#include <utility>

#include "penwell/platform/Result.h"

namespace penwell::pdf {

/// Domain of every failure of this library; codes are PdfErrorKind values.
inline constexpr const char* kPdfErrorDomain = "PenwellPdf";

enum class PdfErrorKind {
    TooLarge = 1,  ///< the document is over kMaxDocumentBytes
    Unreadable,    ///< not a PDF qpdf can parse
    NeedsRepair,   ///< qpdf reads it only by repairing it
    Encrypted,     ///< an encrypted document
    NoSuchPage,    ///< --page beyond the document
    NoSuchField,   ///< --field names no field
    NotSignatureField,
    AlreadySigned,  ///< the field holds a signature already
    BadRect,        ///< a rectangle of no area, not finite, or off the page
    BadText,        ///< --reason, --location or --name too long
    SigningKey,     ///< the key or certificate cannot sign
    Evidence,       ///< the evidence source or opener failed
    Appearance,     ///< the ink's picture is not a one-page PDF
    Certified,      ///< the document's certification or a signature's lock forbids the change
    Attached,       ///< the document holds an attached file of that name already
    Timestamp,      ///< the time-stamp authority could not be reached or its token is refused
    Validation,     ///< a chain, an OCSP answer or a CRL for long-term validation is refused
};

/// A failure with no one place to point at, or whose message reads otherwise.
inline Failure fail(PdfErrorKind kind, std::string message) {
    return {kPdfErrorDomain, static_cast<std::int64_t>(kind), std::move(message)};
}

/// A failure at `where` (the file, or the option at fault): "<where>: <what>".
inline Failure fail(PdfErrorKind kind, std::string where, const std::string& what) {
    return Failure::at(kPdfErrorDomain, static_cast<std::int64_t>(kind), std::move(where), what);
}

}  // namespace penwell::pdf
