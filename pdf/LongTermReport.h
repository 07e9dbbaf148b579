#pragma once
// What a document's signatures prove over time: each signature's and document time-stamp's
// tokens checked, each signature's PAdES level, and with a validation time the verdict of
// judging every chain from what the file carries (PastValidation.h). Private to the PDF
// library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFXRefEntry.hh>

#include <map>
#include <string>
#include <vector>

#include "penwell/pdf/PastValidation.h"
#include "penwell/pdf/PdfSignature.h"
#include "penwell/pdf/SignedData.h"

namespace penwell::pdf {

/// A signature's CMS checked over `parts`, and its time-stamp token when it has one: a token
/// that does not prove the signature value makes the signature invalid, as a changed
/// signature would. With `trust` the signer and the authority are judged as of now.
cms::CmsCheck checkSignature(SignatureReport& report, const std::string& contents,
                             const std::vector<ByteView>& parts, const std::vector<Bytes>& trust);

/// A document time-stamp: its token over the revision's byte range `parts`.
cms::CmsCheck checkDocumentTimestamp(SignatureReport& report, const std::string& contents,
                                     const std::vector<ByteView>& parts,
                                     const std::vector<Bytes>& trust);

/// The items of the catalog's /DSS, each with the offset its object is written at, and what
/// its /VRI entries hold that the /DSS does not. Streams are read up to a bound each.
StoredValidationData storedValidationData(QPDF& qpdf,
                                          const std::map<QPDFObjGen, QPDFXRefEntry>& xref);

/// Gives each report its level (B-B, B-T, B-LT, B-LTA; none for a document time-stamp). With
/// `options.at`, also judges every signer from what the file carries as of that time
/// (`subjects` are the reports' own, in their order): the verdict becomes `trusted`, its
/// reason `signatureProblem`, and the time judged at `judgedAt`.
void judgeOverTime(std::vector<SignatureReport>& reports, const std::vector<PastSubject>& subjects,
                   QPDF& qpdf, const std::map<QPDFObjGen, QPDFXRefEntry>& xref,
                   const VerifyOptions& options);

}  // namespace penwell::pdf
