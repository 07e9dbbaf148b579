#pragma once
// A document opened with qpdf for signing or verifying, refused when it cannot be taken as it
// is. Private to the PDF library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

/// The most /Parent links followed from a widget up to its field: a loop in a damaged file
/// must end.
constexpr int kMaxFieldParents = 32;

/// Parses `bytes` (which must outlive the result) without repairs. Refuses, naming `name`: a
/// file over kMaxDocumentBytes, one that is no PDF, one qpdf could read only by repairing it
/// (with the command that rewrites it), and an encrypted one.
Result<std::shared_ptr<QPDF>> openDocument(ByteView bytes, const std::string& name);

/// The refusal for a document qpdf stumbled over after opening it (`what` is qpdf's reason).
Failure needsRepair(const std::string& name, const std::string& what);

/// The decoded data of `stream`, or nil when it is more than `limit` bytes decoded or cannot be
/// decoded: a filter can inflate a few bytes of a hostile file into gigabytes.
std::optional<std::string> boundedStreamData(QPDFObjectHandle stream, std::size_t limit);

}  // namespace penwell::pdf
