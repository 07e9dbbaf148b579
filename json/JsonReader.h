#pragma once
// Reading JSON from outside: trace files and the signing page's messages. Parsing is bounded
// in depth, and every fault is reported where it is, as a JSON path ("events[3].touches[0].x"),
// so that a person can find it in the file or the message. Built on nlohmann's public API.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace penwell::json {

using Json = nlohmann::json;

/// A fault in a document: where it is (a JSON path, empty for the document as a whole) and
/// what is wrong. what() is "where: what", or "what" alone.
class JsonError : public std::runtime_error {
public:
    JsonError(std::string where, std::string what);
    const std::string& where() const { return where_; }
    const std::string& fault() const { return fault_; }

private:
    std::string where_;
    std::string fault_;
};

/// Deeper than any document Penwell reads goes (a trace's touch fields sit five levels down);
/// the bound keeps a hostile "[[[[..." from building millions of nested values.
inline constexpr std::size_t kMaxDepth = 16;

/// Parses `text`. Throws JsonError: "invalid JSON: <nlohmann's reason>" for a syntax fault,
/// "nested more than 16 levels deep" or a number beyond double range at the value's path.
/// Callers bound the size of `text` before they read it.
Json parse(std::string_view text, std::size_t maxDepth = kMaxDepth);

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
