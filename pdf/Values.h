#pragma once
// Comparing the values of two revisions of one file, as qpdf reads each: references are
// compared by number, streams by their dictionaries and raw data, and every step is taken from
// a budget, so hostile input costs no more than the budget allows. Private to the PDF library.

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFXRefEntry.hh>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <map>
#include <string>
#include <vector>

namespace penwell::pdf {

/// `holder`'s `key`, or null when `holder` is no dictionary (qpdf would warn or throw).
QPDFObjectHandle keyOf(QPDFObjectHandle holder, const std::string& key);

/// Pushes what `holder` holds onto `pending`, for a walk of the objects it reaches: a
/// dictionary's (or a stream dictionary's) values, an array's items; nothing for a scalar.
void pushChildren(QPDFObjectHandle holder, std::vector<QPDFObjectHandle>& pending);

/// Whether `id` is written at the same place in both cross-reference tables: the same offset,
/// or the same index of the same object stream, itself at the same offset.
bool sameEntry(const std::map<QPDFObjGen, QPDFXRefEntry>& old,
               const std::map<QPDFObjGen, QPDFXRefEntry>& now, QPDFObjGen id, int depth = 0);

/// Where the file's current version of an object starts: its own offset, or its object
/// stream's. Nil for an object the file does not hold.
std::optional<std::uint64_t> offsetOf(const std::map<QPDFObjGen, QPDFXRefEntry>& xref,
                                      QPDFObjGen id);

class ValueComparison {
public:
    /// Takes every step from `budget`, which must outlive it.
    explicit ValueComparison(std::size_t& budget) : budget_(budget) {}

    /// Takes `steps` from the budget. Answers false, taking nothing, when it has not that
    /// many, and from then on for every call: the comparison is then exhausted(), and whatever
    /// it answered since is void. A caller stops its walk at the first false.
    [[nodiscard]] bool spend(std::size_t steps = 1);
    /// Whether the budget ran out. The document is then judged as changed beyond its
    /// permissions, since what was not compared cannot be vouched for.
    bool exhausted() const { return exhausted_; }
    /// Whether two values are the same, references compared by number below the top. A stream
    /// is the same when its dictionary (but /Length) and its raw data are. False once the
    /// budget has run out.
    bool same(QPDFObjectHandle a, QPDFObjectHandle b, int depth = 0);
    /// The keys whose values differ between two dictionaries (either may be no dictionary).
    std::vector<std::string> changedKeys(QPDFObjectHandle a, QPDFObjectHandle b);
    /// Whether the name tree `after` (of `afterDocument`) holds every entry of the tree
    /// `before` (of `beforeDocument`; none: nothing to keep) under its name with the same value.
    bool keptEntries(QPDF& beforeDocument, QPDFObjectHandle before, QPDF& afterDocument,
                     QPDFObjectHandle after);
    /// Whether the array `after` is `before` (none: empty) with items added at its end.
    bool appended(QPDFObjectHandle before, QPDFObjectHandle after);

private:
    bool sameDictionary(QPDFObjectHandle a, QPDFObjectHandle b, int depth, bool stream);

    std::size_t& budget_;
    bool exhausted_ = false;
};

}  // namespace penwell::pdf
