#pragma once
// The revisions of a PDF file as its cross-reference sections chain them: the last
// `startxref`, each section's kind and its /Prev. Private to the PDF library; qpdf parses the
// trailer and cross-reference stream dictionaries.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

/// The offset after the last `startxref` keyword within the last KiB of `bytes`.
std::optional<std::uint64_t> lastStartXref(ByteView bytes);

struct XrefSection {
    std::uint64_t offset = 0;
    bool table = false;  ///< a classic `xref` table, else a cross-reference stream
    std::optional<std::uint64_t> prev;
};

/// The section at `offset` of `file`; nil when none starts there.
std::optional<XrefSection> readXrefSection(ByteView file, std::uint64_t offset);

/// The offsets of the sections from the last one back along /Prev, at most `limit` of them;
/// nil when a link points nowhere or in a loop. A link may point forward (a linearized file's
/// first-page section names the main section after it).
std::optional<std::vector<std::uint64_t>> xrefChain(ByteView file, std::size_t limit = 1024);

/// Whether `bytes` ends with "%%EOF", then at most 1 KiB of white space (NULs included).
bool endsWithEof(ByteView bytes);

}  // namespace penwell::pdf
