#pragma once
// Writing an incremental update: new objects numbered after the input's, changed objects
// rewritten whole under their own numbers, and a cross-reference section of the kind the
// input ends with. qpdf parses the input and serialises single objects; it can only rewrite
// whole files, so the section is written here. Private to the PDF library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "penwell/pdf/PdfFailure.h"
#include "penwell/platform/Bytes.h"

namespace penwell::pdf {

/// Upper-case hexadecimal digits of `bytes`.
std::string hex(ByteView bytes);
/// A number as PDF writes it: at most four decimals, no trailing zeros, never "-0".
std::string number(double value);
/// "D:YYYYMMDDHHmmSSZ" in UTC.
std::string pdfDate(std::chrono::system_clock::time_point time);

/// The new objects of the update. Dictionaries are objects of the input's qpdf at numbers
/// chosen here; streams (the appearance with the ink's form and everything it uses, the
/// evidence) are objects of a scratch document, the ink's, renumbered when written. qpdf
/// numbers a new object of its own only after resolving every object of the file, which for a
/// large document costs more than all the rest of signing but the hash.
class NewObjects {
public:
    NewObjects(QPDF& qpdf, int first) : qpdf_(qpdf), first_(first), next_(first) {}

    /// `direct` as a new object of the input's qpdf.
    QPDFObjectHandle dictionary(QPDFObjectHandle direct) {
        qpdf_.replaceObject(next_, 0, direct);
        return qpdf_.getObject(next_++, 0);
    }

    /// Numbers a scratch object and every object it reaches; the result stands for it in the
    /// input's qpdf (an empty placeholder there, written as the scratch object). Refuses more
    /// than 100000 scratch objects in all: the ink's picture is never near that.
    Result<QPDFObjectHandle> adopt(QPDFObjectHandle root);

    int first() const { return first_; }
    int end() const { return next_; }

    /// The scratch object numbered `id`, written with the update's numbers; nil when `id` is
    /// a dictionary of the input's qpdf.
    std::optional<std::string> scratchText(int id) const;

private:
    std::string value(QPDFObjectHandle h, bool top = false) const;

    QPDF& qpdf_;
    int first_;
    int next_;
    std::map<QPDFObjGen, int> scratchIds_;
    std::map<int, QPDFObjectHandle> scratch_;
};

/// Appends `item` to the array under `key` of `holder` (made when missing), and names the
/// object that changed: the array when it is an object of its own, else `holder`, or `owner`
/// (the object `holder` is written in) when `holder` is a direct dictionary.
QPDFObjGen appendTo(QPDFObjectHandle holder, const char* key, QPDFObjectHandle item,
                    QPDFObjGen owner);

/// An indirect object as it is written in the update.
std::string objectText(QPDFObjectHandle object);

struct XrefEntry {
    int id;
    int gen;
    std::uint64_t offset;
};

/// The trailer entries but /Size of an update after `in`, whose trailer is `trailer` and whose
/// last section starts at `startXref`: /Root, /Info, /ID (the first identifier kept, the
/// second new, from `stamp`, the update's `body` and the end of `in`), /Prev.
std::string updateTrailer(QPDFObjectHandle trailer, std::uint64_t startXref,
                          const std::string& stamp, const std::string& body, ByteView in);

/// The cross-reference section at offset `at` for `entries` (in order of number): a classic
/// table with its trailer when `table`, else a cross-reference stream (uncompressed, /W
/// [1 4 2], itself numbered `size`). `trailer` is the trailer's entries but /Size; `size` the
/// new /Size. Ends with startxref and %%EOF.
std::string xrefSection(std::vector<XrefEntry> entries, bool table, std::uint64_t at,
                        long long size, const std::string& trailer);

}  // namespace penwell::pdf
