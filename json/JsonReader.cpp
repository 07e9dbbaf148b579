#include "penwell/json/JsonReader.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace penwell::json {

namespace {

Failure failure(JsonError code, const std::string& where, const std::string& what) {
    return Failure{kJsonErrorDomain, static_cast<std::int64_t>(code),
                   where.empty() ? what : where + ": " + what, where};
}

/// The depth bound's fault, on its way out of nlohmann's parser to parse(), which catches it:
/// a parse callback can stop the parser only by throwing.
struct TooDeep {
    Failure failure;
};

/// Follows the parser through the document so that a fault is reported at its place: the
/// depth bound, and a fault its lexer finds inside a value (a number beyond double range).
class Path {
public:
    explicit Path(std::size_t maxDepth) : maxDepth_(maxDepth) {}

    bool event(Json::parse_event_t event, const Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (levels_.size() >= maxDepth_) {
                    throw TooDeep{
                        failure(JsonError::tooDeep, where(),
                                "nested more than " + std::to_string(maxDepth_) + " levels deep")};
                }
                levels_.push_back({event == Json::parse_event_t::array_start, 0, {}});
                break;
            case Json::parse_event_t::key:
                levels_.back().key = parsed.get<std::string>();
                break;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                levels_.pop_back();
                finished();
                break;
            case Json::parse_event_t::value:
                finished();
                break;
        }
        return true;
    }

    std::string where() const {
        std::string out;
        for (const Level& level : levels_) {
            out = level.array ? at(out, level.count) : join(out, level.key);
        }
        return out;
    }

private:
    struct Level {
        bool array = false;
        std::size_t count = 0;  // values finished at this level
        std::string key;        // the last key read, in an object
    };

    void finished() {
        if (!levels_.empty()) {
            ++levels_.back().count;
        }
    }

    std::size_t maxDepth_;
    std::vector<Level> levels_;
};

}  // namespace

Result<Json> parse(std::string_view text, std::size_t maxDepth) {
    Path path(maxDepth);
    // The boundary with nlohmann: it reports through its exceptions, and the depth bound can
    // only stop its parser from inside the callback by throwing. Both end here, and nothing
    // past parse() sees an exception.
    try {
        return Json::parse(text, [&](int, Json::parse_event_t event, Json& parsed) {
            return path.event(event, parsed);
        });
    } catch (const TooDeep& deep) {
        return deep.failure;
    } catch (const Json::exception& e) {
        // what() starts with "[json.exception.parse_error.101] "; the rest says where and why.
        const std::string what = e.what();
        const auto bracket = what.find("] ");
        const std::string reason = bracket == std::string::npos ? what : what.substr(bracket + 2);
        if (e.id == 406) {
            // "number overflow parsing '1e400'", at the number's path
            return failure(JsonError::numberRange, path.where(), reason);
        }
        return failure(JsonError::syntax, "", "invalid JSON: " + reason);
    }
}

std::string join(const std::string& where, std::string_view key) {
    // A key from the document may hold a line break or another control character ("\n" in
    // JSON): written as it is, it would split the one-line message (and a log line). Such a
    // key is shown as its JSON string in brackets instead.
    const bool plain = std::none_of(key.begin(), key.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    std::string out = where;
    if (!plain) {
        out += '[';
        out += Json(std::string(key)).dump(-1, ' ', false, Json::error_handler_t::replace);
        out += ']';
        return out;
    }
    if (!out.empty()) {
        out += '.';
    }
    out += key;
    return out;
}

std::string at(const std::string& where, std::size_t i) {
    // Appended piecewise: GCC 12 at -O3 reports a false memcpy overlap (-Werror=restrict) for
    // `"[" + std::string`.
    std::string out = where;
    out += '[';
    out += std::to_string(i);
    out += ']';
    return out;
}

const Json* find(const Json& v, std::string_view key) {
    if (!v.is_object()) {
        return nullptr;
    }
    const auto it = v.find(key);
    return it == v.end() ? nullptr : &*it;
}

namespace {

// What the field readers answer once a fault is kept: values a reader can go on with
// harmlessly, shared and never changed.
const Json& nullValue() {
    static const Json value;
    return value;
}

const Json& emptyObject() {
    static const Json value = Json::object();
    return value;
}

const Json& emptyArray() {
    static const Json value = Json::array();
    return value;
}

}  // namespace

void Reading::keep(JsonError code, const std::string& where, const std::string& what) {
    if (!fault_) {
        fault_ = failure(code, where, what);
    }
}

void Reading::fail(const std::string& where, const std::string& what) {
    keep(JsonError::invalid, where, what);
}

const Json& Reading::object(const Json& v, const std::string& where) {
    if (ok() && !v.is_object()) {
        keep(JsonError::wrongType, where, "expected an object");
    }
    return ok() ? v : emptyObject();
}

const Json& Reading::array(const Json& v, const std::string& where, const std::string& what) {
    if (ok() && !v.is_array()) {
        keep(JsonError::invalid, where, what);
    }
    return ok() ? v : emptyArray();
}

void Reading::onlyKeys(const Json& v, const std::string& where,
                       std::initializer_list<std::string_view> allowed) {
    const Json& checked = object(v, where);
    for (auto it = checked.begin(); ok() && it != checked.end(); ++it) {
        if (std::find(allowed.begin(), allowed.end(), it.key()) == allowed.end()) {
            keep(JsonError::unknownField, join(where, it.key()),
                 "unknown field (expected " + listOf(allowed) + ")");
        }
    }
}

const Json& Reading::require(const Json& v, const std::string& where, std::string_view key) {
    if (!ok()) {
        return nullValue();
    }
    const Json* found = find(v, key);
    if (found == nullptr) {
        keep(JsonError::missing, join(where, key), "missing");
        return nullValue();
    }
    return *found;
}

double Reading::number(const Json& v, const std::string& where) {
    if (!ok()) {
        return 0.0;
    }
    if (!v.is_number()) {
        keep(JsonError::wrongType, where, "expected a number");
        return 0.0;
    }
    const double d = v.get<double>();
    if (!std::isfinite(d)) {
        keep(JsonError::outOfRange, where, "expected a finite number");
        return 0.0;
    }
    return d;
}

double Reading::number(const Json& v, const std::string& where, double min, double max) {
    const double d = number(v, where);
    if (ok() && (d < min || d > max)) {
        keep(JsonError::outOfRange, where,
             "expected a number from " + format(min) + " to " + format(max) + ", got " + format(d));
    }
    return ok() ? d : std::clamp(0.0, min, max);
}

std::int64_t Reading::integer(const Json& v, const std::string& where, std::int64_t min,
                              std::int64_t max) {
    const std::int64_t neutral = std::clamp<std::int64_t>(0, min, max);
    if (!ok()) {
        return neutral;
    }
    if (!v.is_number_integer()) {
        keep(JsonError::wrongType, where, "expected an integer");
        return neutral;
    }
    const auto range = [&] {
        return "expected an integer from " + std::to_string(min) + " to " + std::to_string(max);
    };
    // nlohmann keeps integers above INT64_MAX as unsigned; they are out of range anyway, and
    // read as an int64 they would wrap round to a negative number that a negative `max` takes.
    if (v.is_number_unsigned() &&
        (max < 0 || v.get<std::uint64_t>() > static_cast<std::uint64_t>(max))) {
        keep(JsonError::outOfRange, where, range());
        return neutral;
    }
    const std::int64_t i = v.get<std::int64_t>();
    if (i < min || i > max) {
        keep(JsonError::outOfRange, where, range() + ", got " + std::to_string(i));
        return neutral;
    }
    return i;
}

bool Reading::boolean(const Json& v, const std::string& where) {
    if (ok() && !v.is_boolean()) {
        keep(JsonError::wrongType, where, "expected true or false");
    }
    return ok() && v.get<bool>();
}

std::string Reading::string(const Json& v, const std::string& where) {
    if (ok() && !v.is_string()) {
        keep(JsonError::wrongType, where, "expected a string");
    }
    return ok() ? v.get<std::string>() : std::string();
}

std::string listOf(std::initializer_list<std::string_view> names) {
    std::string out;
    for (const std::string_view n : names) {
        out += out.empty() ? "" : ", ";
        out += n;
    }
    return out;
}

std::string format(double d) {
    std::string s = std::to_string(d);
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.') {
        s.pop_back();
    }
    return s;
}

}  // namespace penwell::json
