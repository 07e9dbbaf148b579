#pragma once
// Reading JSON from outside: trace files, the signing page's messages and its translations.
// Parsing is bounded in depth, and every fault is reported where it is, as a JSON path
// ("events[3].touches[0].x"), so that a person can find it in the file or the message. Built
// on nlohmann's public API.
//
// A document is read in one call, read(), which parses it and hands it to the caller's reader.
// The field readers below (object, require, number, ...) check one value each; the first fault
// one finds ends the reading and becomes read()'s Failure, so a reader is written straight
// through, with no check of its own after each field. They are meant for a reader run by
// read() (or check()) only: outside one, their fault has nowhere to go.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
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
    invalid = 8,       ///< a fault the reader itself finds (fail())
};

/// Deeper than any document Penwell reads goes (a trace's touch fields sit five levels down);
/// the bound keeps a hostile "[[[[..." from building millions of nested values.
inline constexpr std::size_t kMaxDepth = 16;

/// Parses `text` whole. Fails with "invalid JSON: <nlohmann's reason>" (syntax, UTF-8 that is
/// not well formed included), "nested more than 16 levels deep" or "number overflow parsing
/// '1e400'" at the value's path. Callers bound the size of `text` before they read it.
Result<Json> parse(std::string_view text, std::size_t maxDepth = kMaxDepth);

/// Runs `reader` on `doc`: nothing when it finished, else the first fault a field reader found
/// in it. Any other exception the reader throws itself passes through.
MaybeFailure check(const Json& doc, const std::function<void(const Json&)>& reader);

/// Parses `text` and answers what `reader(document)` makes of it, or the first fault: the
/// parse's or a field reader's, whichever comes first.
template <typename Reader>
auto read(std::string_view text, Reader&& reader, std::size_t maxDepth = kMaxDepth)
    -> Result<std::invoke_result_t<Reader&, const Json&>> {
    using T = std::invoke_result_t<Reader&, const Json&>;
    Result<Json> doc = parse(text, maxDepth);
    if (!doc) {
        return doc.error();
    }
    std::optional<T> out;
    if (MaybeFailure fault = check(*doc, [&](const Json& d) { out.emplace(reader(d)); })) {
        return std::move(*fault);
    }
    return std::move(*out);
}

/// Ends the reading with the fault `what` at `where` (JsonError::invalid).
[[noreturn]] void fail(const std::string& where, const std::string& what);

/// "where.key", or "key" at the top.
std::string join(const std::string& where, std::string_view key);
/// "where[i]".
std::string at(const std::string& where, std::size_t i);

const Json& object(const Json& v, const std::string& where);
/// Refuses keys outside `allowed`: a misspelt optional field would otherwise be ignored
/// silently and mean something other than its author meant.
void onlyKeys(const Json& v, const std::string& where,
              std::initializer_list<std::string_view> allowed);
const Json* find(const Json& v, std::string_view key);
const Json& require(const Json& v, const std::string& where, std::string_view key);

/// A finite number.
double number(const Json& v, const std::string& where);
/// A finite number from `min` to `max`.
double number(const Json& v, const std::string& where, double min, double max);
std::int64_t integer(const Json& v, const std::string& where, std::int64_t min, std::int64_t max);
bool boolean(const Json& v, const std::string& where);
std::string string(const Json& v, const std::string& where);

/// "a, b, c".
std::string listOf(std::initializer_list<std::string_view> names);
/// A number as a person writes it: 0.5, 1000, 1e+09 never.
std::string format(double d);

}  // namespace penwell::json
