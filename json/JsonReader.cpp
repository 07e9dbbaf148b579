#include "penwell/json/JsonReader.h"

#include <cmath>
#include <vector>

namespace penwell::json {

namespace {

/// A field reader's fault on its way to check(), the one place that catches it: it never
/// leaves this library.
struct Fault {
    Failure failure;
};

[[noreturn]] void raise(JsonError code, const std::string& where, const std::string& what) {
    Failure failure{kJsonErrorDomain, static_cast<std::int64_t>(code),
                    where.empty() ? what : where + ": " + what, where};
    throw Fault{std::move(failure)};
}

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
                    raise(JsonError::tooDeep, where(),
                          "nested more than " + std::to_string(maxDepth_) + " levels deep");
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
    // nlohmann reports through its exceptions, and the depth bound can only stop its parser
    // from inside the callback by throwing: both end here.
    try {
        return Json::parse(text, [&](int, Json::parse_event_t event, Json& parsed) {
            return path.event(event, parsed);
        });
    } catch (const Fault& fault) {
        return fault.failure;
    } catch (const Json::exception& e) {
        // what() starts with "[json.exception.parse_error.101] "; the rest says where and why.
        const std::string what = e.what();
        const auto bracket = what.find("] ");
        const std::string reason = bracket == std::string::npos ? what : what.substr(bracket + 2);
        if (e.id == 406) {
            const std::string where = path.where();  // "number overflow parsing '1e400'"
            return Failure{kJsonErrorDomain, static_cast<std::int64_t>(JsonError::numberRange),
                           where.empty() ? reason : where + ": " + reason, where};
        }
        return Failure{kJsonErrorDomain, static_cast<std::int64_t>(JsonError::syntax),
                       "invalid JSON: " + reason};
    }
}

MaybeFailure check(const Json& doc, const std::function<void(const Json&)>& reader) {
    try {
        reader(doc);
    } catch (const Fault& fault) {
        return fault.failure;
    }
    return std::nullopt;
}

void fail(const std::string& where, const std::string& what) {
    raise(JsonError::invalid, where, what);
}

std::string join(const std::string& where, std::string_view key) {
    std::string out = where;
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

const Json& object(const Json& v, const std::string& where) {
    if (!v.is_object()) {
        raise(JsonError::wrongType, where, "expected an object");
    }
    return v;
}

void onlyKeys(const Json& v, const std::string& where,
              std::initializer_list<std::string_view> allowed) {
    for (const auto& [key, value] : v.items()) {
        bool known = false;
        for (const std::string_view a : allowed) {
            known = known || key == a;
        }
        if (!known) {
            raise(JsonError::unknownField, join(where, key),
                  "unknown field (expected " + listOf(allowed) + ")");
        }
    }
}

const Json* find(const Json& v, std::string_view key) {
    const auto it = v.find(key);
    return it == v.end() ? nullptr : &*it;
}

const Json& require(const Json& v, const std::string& where, std::string_view key) {
    const Json* found = find(v, key);
    if (found == nullptr) {
        raise(JsonError::missing, join(where, key), "missing");
    }
    return *found;
}

double number(const Json& v, const std::string& where) {
    if (!v.is_number()) {
        raise(JsonError::wrongType, where, "expected a number");
    }
    const double d = v.get<double>();
    if (!std::isfinite(d)) {
        raise(JsonError::outOfRange, where, "expected a finite number");
    }
    return d;
}

double number(const Json& v, const std::string& where, double min, double max) {
    const double d = number(v, where);
    if (d < min || d > max) {
        raise(
            JsonError::outOfRange, where,
            "expected a number from " + format(min) + " to " + format(max) + ", got " + format(d));
    }
    return d;
}

std::int64_t integer(const Json& v, const std::string& where, std::int64_t min, std::int64_t max) {
    if (!v.is_number_integer()) {
        raise(JsonError::wrongType, where, "expected an integer");
    }
    // nlohmann keeps integers above INT64_MAX as unsigned; they are out of range anyway, and
    // read as an int64 they would wrap round to a negative number that a negative `max` takes.
    if (v.is_number_unsigned() &&
        (max < 0 || v.get<std::uint64_t>() > static_cast<std::uint64_t>(max))) {
        raise(JsonError::outOfRange, where,
              "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
    }
    const std::int64_t i = v.get<std::int64_t>();
    if (i < min || i > max) {
        raise(JsonError::outOfRange, where,
              "expected an integer from " + std::to_string(min) + " to " + std::to_string(max) +
                  ", got " + std::to_string(i));
    }
    return i;
}

bool boolean(const Json& v, const std::string& where) {
    if (!v.is_boolean()) {
        raise(JsonError::wrongType, where, "expected true or false");
    }
    return v.get<bool>();
}

std::string string(const Json& v, const std::string& where) {
    if (!v.is_string()) {
        raise(JsonError::wrongType, where, "expected a string");
    }
    return v.get<std::string>();
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
