#pragma once
// Gathering long-term validation data for CMS signatures, on OpenSSL: chains built to the
// anchors, OCSP answers and CRLs taken from files or fetched and checked. Private to the PDF
// library; LongTerm.cpp puts the result into the document.

#include <vector>

#include "penwell/pdf/LongTerm.h"
#include "penwell/pdf/SignedData.h"

namespace penwell::pdf {

/// DER of each item; no item twice.
struct ValidationData {
    std::vector<Bytes> certificates, ocsp, crls;
};

/// Everything needed to validate the CMS signatures `signatures` (DER SignedData each: a
/// signature's /Contents, trailing zeros allowed, or a document time-stamp token) and the
/// time-stamp tokens in their unsigned attributes, and of one whose certificates were read as
/// it was made, `read` (nil: none). Fails as addValidationData() says.
Result<ValidationData> gatherValidationData(const std::vector<ByteView>& signatures,
                                            const ValidationSources& sources,
                                            const cms::ReadSigners* read = nullptr);

}  // namespace penwell::pdf
