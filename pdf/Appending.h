#pragma once
// What every appended update that is not a signature's needs (validation data, document
// time-stamps): where the input's last section is and of which kind, the first free object
// number, and the update written from its objects' text. Private to the PDF library.

#include <qpdf/QPDF.hh>

#include <map>
#include <string>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

struct Appending {
    std::uint64_t startXref = 0;
    bool table = false;   ///< the input ends with a classic table, not a stream
    long long size = 0;   ///< the trailer's /Size
    int first = 0;        ///< the first object number free for the update
};

/// Where an update after `in` (parsed as `qpdf`) starts; refuses, naming `inName`, a file
/// that does not end with a cross-reference section and %%EOF, or numbers objects too high.
Result<Appending> appendingTo(QPDF& qpdf, ByteView in, const std::string& inName);

struct UpdateText {
    std::string body;                         ///< to go right after `in`
    std::map<QPDFObjGen, std::size_t> at;     ///< where each object starts in body
};

/// The update of `objects` (each object's whole "N G obj ... endobj" text), with a
/// cross-reference section of the input's kind and a trailer chained to its last section.
UpdateText updateText(QPDF& qpdf, ByteView in, const Appending& appending,
                      const std::map<QPDFObjGen, std::string>& objects);

}  // namespace penwell::pdf
