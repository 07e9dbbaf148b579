#pragma once
// Reading JSON from outside: trace files, the signing page's messages and its translations.
// Parsing is bounded in depth, and every fault is reported where it is, as a JSON path
// ("events[3].touches[0].x"), so that a person can find it in the file or the message. Built
// on nlohmann's public API.
//
// A document is read in one call, read(), which parses it and hands it to the caller's reader
// with a Reading. The Reading's field readers (object, require, number, ...) check one value
// each and keep the first fault any of them finds; that fault becomes read()'s Failure. Once a
// fault is kept, every field reader answers a neutral value without looking (an empty object
// or array, a null, 0 or the bound nearest it, false, ""), so a reader is written straight
// through, with no check of its own after each field: what it builds from then on is thrown
// away. A reader checks ok() itself only before work that a neutral value does not make
// harmless (allocating by a size it read, indexing an array it did not take from array()).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "penwell/platform/Result.h"

namespace penwell::json {

using Json = nlohmann::json;

/// Domain of a document's faults. A Failure's `where` is the JSON path of the value at fault
/// (empty for the document as a whole), and its message "<where>: <what>", or "<what>" alone.
inline constexpr const char* kJsonErrorDomain = "PenwellJson";

enum class JsonError : int {
    syntax = 1,        ///< not JSON (nlohmann's reason follows "invalid JSON: ")
    tooDeep = 2,       ///< nested more than the depth bound
    numberRange = 3,   ///< a number beyond a double's range, as written in the text
    wrongType = 4,     ///< a value of another JSON type than the one expected
    missing = 5,       ///< a required field absent
    unknownField = 6,  ///< a field the reader does not know
    outOfRange = 7,    ///< a number outside its bounds, or not finite
    invalid = 8,       ///< a fault the reader itself finds (fail(), array())
};

/// Deeper than any document Penwell reads goes (a trace's touch fields sit five levels down);
/// the bound keeps a hostile "[[[[..." from building millions of nested values.
inline constexpr std::size_t kMaxDepth = 16;

/// Parses `text` whole. Fails with "invalid JSON: <nlohmann's reason>" (syntax, UTF-8 that is
/// not well formed included), "nested more than 16 levels deep" or "number overflow parsing
/// '1e400'" at the value's path. Callers bound the size of `text` before they read it.
Result<Json> parse(std::string_view text, std::size_t maxDepth = kMaxDepth);

/// One reading of a document: its field readers, and the first fault they found.
class Reading {
public:
    /// True while no fault has been found.
    bool ok() const { return !fault_; }
    /// The first fault found, or nothing.
    const MaybeFailure& fault() const { return fault_; }

    /// Keeps the fault `what` at `where` (JsonError::invalid), unless one is kept already.
    void fail(const std::string& where, const std::string& what);

    /// `v` if it is an object; else an empty object, and the fault "expected an object".
    const Json& object(const Json& v, const std::string& where);
    /// `v` if it is an array; else an empty one, and the fault "<where>: <what>"
    /// (JsonError::invalid), so that a loop over the answer never leaves it.
    const Json& array(const Json& v, const std::string& where, const std::string& what);
    /// Refuses keys outside `allowed` (and a `v` that is not an object): a misspelt optional
    /// field would otherwise be ignored silently and mean something other than its author meant.
    void onlyKeys(const Json& v, const std::string& where,
                  std::initializer_list<std::string_view> allowed);
    /// The member `key` of `v`; else a null, and the fault "<where>.<key>: missing".
    const Json& require(const Json& v, const std::string& where, std::string_view key);

    /// A finite number; 0 on a fault.
    double number(const Json& v, const std::string& where);
    /// A finite number from `min` to `max`; on a fault, the one of them nearest 0.
    double number(const Json& v, const std::string& where, double min, double max);
    /// An integer from `min` to `max`; on a fault, the one of them nearest 0.
    std::int64_t integer(const Json& v, const std::string& where, std::int64_t min,
                         std::int64_t max);
    /// true or false; false on a fault.
    bool boolean(const Json& v, const std::string& where);
    /// A string; "" on a fault.
    std::string string(const Json& v, const std::string& where);

private:
    void keep(JsonError code, const std::string& where, const std::string& what);

    MaybeFailure fault_;
};

/// Parses `text` and answers what `reader(reading, document)` makes of it, or the first fault:
/// the parse's or a field reader's, whichever comes first. An exception the reader throws
/// itself passes through.
template <typename Reader>
auto read(std::string_view text, Reader&& reader, std::size_t maxDepth = kMaxDepth)
    -> Result<std::invoke_result_t<Reader&, Reading&, const Json&>> {
    Result<Json> doc = parse(text, maxDepth);
    if (!doc) {
        return doc.error();
    }
    Reading reading;
    auto out = reader(reading, *doc);
    if (reading.fault()) {
        return *reading.fault();
    }
    return out;
}

/// "where.key", or "key" at the top.
std::string join(const std::string& where, std::string_view key);
/// "where[i]".
std::string at(const std::string& where, std::size_t i);
/// The member `key` of `v`, or null when there is none or `v` is not an object.
const Json* find(const Json& v, std::string_view key);

/// "a, b, c".
std::string listOf(std::initializer_list<std::string_view> names);
/// A number as a person writes it: 0.5, 1000, 1e+09 never.
std::string format(double d);

}  // namespace penwell::json
