#pragma once
// What a document offers to be signed, found before anyone signs it: a service that takes
// uploads refuses at the upload what `pdf sign` would refuse later, with the same lines, and
// tells its client the pages and the signature fields there are to sign in.

#include <cstddef>
#include <string>
#include <vector>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

/// A signature field of a document and its first widget.
struct SignatureField {
    std::string name;  ///< fully qualified ("Parent.Child"), as FieldPlacement takes it
    int page = 0;      ///< from 1; 0 when the widget is on no page
    double x = 0.0, y = 0.0, width = 0.0, height = 0.0;  ///< the widget's /Rect, in points
    bool isSigned = false;                               ///< holds a signature already
};

struct DocumentInspection {
    int pages = 0;
    std::vector<SignatureField> fields;  ///< in the order of the pages and their widgets
    /// Why a file could not be attached and sealed once everyone signed (sealPdf()'s refusal:
    /// a certification or a signed field's lock with P = 1 or 2); empty when it could.
    std::string sealRefusal;
};

/// The most signature fields an inspection lists; a document with more lists these.
inline constexpr std::size_t kMaxListedFields = 1000;

/// Opens `in` as signing does and answers its pages and signature fields. Refuses, with the
/// messages of signPdf() naming `inName`: a document too large, not a PDF, one that needs
/// repair, an encrypted one, one certified with no changes allowed (P=1) or locked entirely
/// by a signed field's lock.
Result<DocumentInspection> inspectForSigning(ByteView in, const std::string& inName);

}  // namespace penwell::pdf

class QPDF;

namespace penwell::pdf {

/// The refusals of any change to the whole document, naming `name`: a certification or a
/// signed field's lock that allows none. (A lock over some fields refuses only a signature
/// placed in one of them, which signing checks.)
MaybeFailure refusesEveryChange(QPDF& qpdf, const std::string& name);

/// The refusal of attaching a file to the document, naming `name`: a certification or a
/// signed field's lock that does not allow annotations (P = 1 or 2).
MaybeFailure refusesAttaching(QPDF& qpdf, const std::string& name);

}  // namespace penwell::pdf
