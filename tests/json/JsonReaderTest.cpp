#include "penwell/json/JsonReader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace penwell::json {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

/// A reader of the shape the trace and the page's messages use: an object with a bounded
/// number, an integer, a flag, a name and a list of points.
struct Doc {
    double width = 0.0;
    std::int64_t count = 0;
    bool on = false;
    std::string name;
    std::vector<double> xs;
};

Doc readDoc(Reading& r, const Json& v) {
    r.object(v, "");
    r.onlyKeys(v, "", {"width", "count", "on", "name", "points"});
    Doc d;
    d.width = r.number(r.require(v, "", "width"), "width", 1.0, 8192.0);
    if (const Json* c = find(v, "count")) {
        d.count = r.integer(*c, "count", -5, 1000);
    }
    if (const Json* on = find(v, "on")) {
        d.on = r.boolean(*on, "on");
    }
    if (const Json* name = find(v, "name")) {
        d.name = r.string(*name, "name");
    }
    if (const Json* points = find(v, "points")) {
        const Json& list = r.array(*points, "points", "expected an array of points");
        for (std::size_t i = 0; r.ok() && i < list.size(); ++i) {
            const std::string where = at("points", i);
            const Json& point = r.object(list[i], where);
            d.xs.push_back(r.number(r.require(point, where, "x"), join(where, "x")));
        }
    }
    return d;
}

Result<Doc> readText(const std::string& text) {
    return read(text, readDoc);
}

TEST(JsonReaderTest, ReadsAWholeDocument) {
    const Result<Doc> d = readText(
        R"({"width": 600, "count": -5, "on": true, "name": "p\u00e9n \ud83d\udd8a",
            "points": [{"x": 0.5}, {"x": -1e300}]})");
    ASSERT_TRUE(d) << d.error().message;
    EXPECT_EQ(d->width, 600.0);
    EXPECT_EQ(d->count, -5);
    EXPECT_TRUE(d->on);
    EXPECT_EQ(d->name, "p\xC3\xA9n \xF0\x9F\x96\x8A");  // escapes become UTF-8
    EXPECT_EQ(d->xs, (std::vector<double>{0.5, -1e300}));
}

// Every fault: its code, its path in `where`, and the message callers print, which starts with
// the path so that a person finds the value.
TEST(JsonReaderTest, EachFaultNamesItsPathAndCode) {
    struct Case {
        std::string text;
        JsonError code;
        std::string where;
        std::string message;  ///< the message's start
    };
    const std::string deep = std::string(16, '[') + std::string(16, ']');
    const Case cases[] = {
        // Syntax: nlohmann's reason, with its line and column, and no path.
        {R"({"width": })", JsonError::syntax, "", "invalid JSON: parse error at line 1, column 11"},
        {R"({"width": 1} x)", JsonError::syntax, "", "invalid JSON: parse error"},
        // UTF-8 that is not well formed (a lone continuation byte, an overlong '/', a lone
        // surrogate escape) never reaches a reader.
        {"{\"name\": \"\x80\"}", JsonError::syntax, "", "invalid JSON: parse error"},
        {"{\"name\": \"\xC0\xAF\"}", JsonError::syntax, "", "invalid JSON: parse error"},
        {R"({"name": "\ud800"})", JsonError::syntax, "", "invalid JSON: parse error"},
        // The depth bound: 17 levels are refused at the 17th, named by its path.
        {std::string(17, '[') + std::string(17, ']'), JsonError::tooDeep,
         "[0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]",
         "[0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]: nested more than 16 levels deep"},
        {R"({"width": 1, "points": [{"x": {"a": [[[[[[[[[[[[[[]]]]]]]]]]]]]}}]})",
         JsonError::tooDeep, "points[0].x.a[0][0][0][0][0][0][0][0][0][0][0][0]",
         "points[0].x.a[0][0][0][0][0][0][0][0][0][0][0][0]: nested more than 16"},
        // A number beyond a double's range, where it stands in the text.
        {R"({"width": 1, "points": [{"x": 1}, {"x": -1e400}]})", JsonError::numberRange,
         "points[1].x", "points[1].x: number overflow parsing '-1e400'"},
        // What the readers find.
        {"[]", JsonError::wrongType, "", "expected an object"},
        {R"({"count": 1})", JsonError::missing, "width", "width: missing"},
        {R"({"width": 1, "widht": 2})", JsonError::unknownField, "widht",
         "widht: unknown field (expected width, count, on, name, points)"},
        {R"({"width": "600"})", JsonError::wrongType, "width", "width: expected a number"},
        {R"({"width": 0.5})", JsonError::outOfRange, "width",
         "width: expected a number from 1 to 8192, got 0.5"},
        {R"({"width": 1, "count": 2.0})", JsonError::wrongType, "count",
         "count: expected an integer"},
        {R"({"width": 1, "count": -6})", JsonError::outOfRange, "count",
         "count: expected an integer from -5 to 1000, got -6"},
        {R"({"width": 1, "on": 1})", JsonError::wrongType, "on", "on: expected true or false"},
        {R"({"width": 1, "name": null})", JsonError::wrongType, "name", "name: expected a string"},
        {R"({"width": 1, "points": {}})", JsonError::invalid, "points",
         "points: expected an array of points"},
        {R"({"width": 1, "points": [{"x": 1}, 3]})", JsonError::wrongType, "points[1]",
         "points[1]: expected an object"},
        {R"({"width": 1, "points": [{"x": 1}, {"y": 1}]})", JsonError::missing, "points[1].x",
         "points[1].x: missing"},
    };
    for (const Case& c : cases) {
        const Result<Doc> d = readText(c.text);
        ASSERT_FALSE(d) << c.text;
        EXPECT_EQ(d.error().domain, kJsonErrorDomain) << c.text;
        EXPECT_EQ(d.error().code, static_cast<std::int64_t>(c.code)) << c.text;
        EXPECT_EQ(d.error().where, c.where) << c.text;
        EXPECT_THAT(d.error().message, StartsWith(c.message)) << c.text;
    }
    // Sixteen levels are allowed: the bound is on what no document of Penwell's needs.
    EXPECT_TRUE(parse(std::string(16, '[') + std::string(16, ']')));
}

// A negative upper bound once let an integer beyond int64 through: read as an int64 it wraps
// round to a negative number inside the range.
TEST(JsonReaderTest, IntegerBoundsHoldAtBothEndsOfTheRange) {
    struct Case {
        std::string value;
        std::int64_t min, max;
        bool taken;
    };
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    const Case cases[] = {
        {"9223372036854775807", lo, hi, true},
        {"-9223372036854775808", lo, hi, true},
        {"9223372036854775808", lo, hi, false},   // 2^63: unsigned in nlohmann
        {"18446744073709551615", lo, -1, false},  // 2^64 - 1, which wraps to -1
        {"18446744073709551615", -10, -1, false},
        {"-1", -10, -1, true},
        {"0", -10, -1, false},
        {"1e3", 0, 2000, false},  // written as a real: not an integer
    };
    for (const Case& c : cases) {
        Reading r;
        const std::int64_t got = r.integer(parse(c.value).value(), "n", c.min, c.max);
        EXPECT_EQ(r.ok(), c.taken) << c.value << " in " << c.min << ".." << c.max;
        if (c.taken) {
            EXPECT_EQ(std::to_string(got), c.value);
        } else {  // refused: the bound nearest 0, never the wrapped value
            EXPECT_EQ(got, std::clamp<std::int64_t>(0, c.min, c.max)) << c.value;
        }
    }
}

// Numbers that are not finite never reach a reader as numbers: JSON has no NaN, and a value
// beyond double range is refused while parsing. Integers too large for int64 but within
// double range are numbers.
TEST(JsonReaderTest, NumbersAreFiniteAndBounded) {
    for (const std::string text : {"NaN", "Infinity", "-Infinity", "1e309"}) {
        EXPECT_FALSE(parse(text)) << text;
    }
    Reading r;
    EXPECT_EQ(r.number(parse("18446744073709551616").value(), "n"), 18446744073709551616.0);
    EXPECT_TRUE(r.ok());
}

// A reader's own refusal (not a field reader's) is the caller's: it passes through read().
TEST(JsonReaderTest, ACallersOwnExceptionPassesThrough) {
    struct Own {};
    EXPECT_THROW((void)read("{}", [](Reading&, const Json&) -> int { throw Own{}; }), Own);
}

// Several faults in one document: the first the reader meets is the answer, whole, and the
// ones after it leave no trace in it (a later fault once replaced an earlier one's path).
TEST(JsonReaderTest, TheFirstFaultWinsWhenSeveralFieldsAreBad) {
    struct Case {
        std::string text;
        JsonError code;
        std::string message;  ///< whole; its path is `where`
    };
    const Case cases[] = {
        // The keys are checked before any value.
        {R"({"widht": 1, "width": "x", "count": 2000})", JsonError::unknownField,
         "widht: unknown field (expected width, count, on, name, points)"},
        {R"({"width": "600", "count": 2000, "on": 1, "name": 2})", JsonError::wrongType,
         "width: expected a number"},
        {R"({"count": 2000, "on": 1})", JsonError::missing, "width: missing"},
        {R"({"width": 1, "count": 2000, "on": 1, "points": 3})", JsonError::outOfRange,
         "count: expected an integer from -5 to 1000"},
        {R"({"width": 1, "on": 1, "name": 2, "points": 3})", JsonError::wrongType,
         "on: expected true or false"},
        {R"({"width": 1, "points": "abc", "name": 2})", JsonError::wrongType,
         "name: expected a string"},
        // In a list, the first bad element; the elements after it are never read.
        {R"({"width": 1, "points": [{"x": 1}, {"x": "a"}, 3, {"y": 1}]})", JsonError::wrongType,
         "points[1].x: expected a number"},
        {R"({"width": 1, "points": [{"x": 1}, "a", {"x": "b"}]})", JsonError::wrongType,
         "points[1]: expected an object"},
        {R"({"width": 1, "points": [{"x": 1}, {"z": 1}, {}]})", JsonError::missing,
         "points[1].x: missing"},
    };
    for (const Case& c : cases) {
        const Result<Doc> d = readText(c.text);
        ASSERT_FALSE(d) << c.text;
        EXPECT_EQ(d.error().code, static_cast<std::int64_t>(c.code)) << c.text;
        EXPECT_EQ(d.error().message, c.message) << c.text;
        EXPECT_EQ(d.error().where, c.message.substr(0, c.message.find(':'))) << c.text;
    }
}

// A reader written straight through goes on after a fault with the neutral values; its loop
// over a list ends at the first bad element, so that a long list costs nothing after it.
TEST(JsonReaderTest, AReaderStopsAtTheFirstBadElementOfAList) {
    Reading r;
    const Doc d = readDoc(
        r, parse(R"({"width": 1, "points": [{"x": 1}, [], {"x": 2}, {"x": "c"}]})").value());
    ASSERT_TRUE(r.fault());
    EXPECT_EQ(r.fault()->message, "points[1]: expected an object");
    EXPECT_EQ(d.xs, (std::vector<double>{1.0, 0.0}));  // the bad one read as 0, then no more
    EXPECT_EQ(d.width, 1.0);
}

// Once a fault is kept, every field reader answers its neutral value without looking at what
// it is given, and keeps no other fault: code after it can neither index past an array, nor
// read a value that is not there, nor allocate by a size a hostile document chose.
TEST(JsonReaderTest, AfterAFaultEveryReaderAnswersItsNeutralValue) {
    const Json doc =
        parse(R"({"a": [1, 2], "n": 7, "s": "text", "b": true, "o": {"k": 1}})").value();
    Reading r;
    r.fail("first", "the fault");
    EXPECT_TRUE(r.object(doc, "o").empty());
    EXPECT_TRUE(r.object(doc["o"], "o").is_object());
    EXPECT_TRUE(r.array(doc["a"], "a", "expected an array").empty());
    EXPECT_TRUE(r.array(doc["a"], "a", "expected an array").is_array());
    EXPECT_TRUE(r.require(doc, "", "n").is_null());
    EXPECT_TRUE(r.require(doc, "", "absent").is_null());
    r.onlyKeys(doc, "", {"none"});
    EXPECT_EQ(r.number(doc["n"], "n"), 0.0);
    EXPECT_EQ(r.number(doc["n"], "n", 2.0, 9.0), 2.0);  // the bound nearest 0
    EXPECT_EQ(r.number(doc["n"], "n", -9.0, -2.0), -2.0);
    EXPECT_EQ(r.number(doc["n"], "n", -9.0, 9.0), 0.0);
    EXPECT_EQ(r.integer(doc["n"], "n", 3, 9), 3);
    EXPECT_EQ(r.integer(doc["n"], "n", -9, -3), -3);
    EXPECT_FALSE(r.boolean(doc["b"], "b"));
    EXPECT_EQ(r.string(doc["s"], "s"), "");
    r.fail("second", "another fault");
    ASSERT_TRUE(r.fault());
    EXPECT_EQ(r.fault()->message, "first: the fault");
    EXPECT_EQ(r.fault()->where, "first");
    EXPECT_EQ(r.fault()->code, static_cast<std::int64_t>(JsonError::invalid));
}

// The reader that finds a fault answers the neutral value too, never the value it refused:
// a caller that uses it before it checks still holds a value inside its bounds.
TEST(JsonReaderTest, AFaultyValueIsAnsweredAsItsNeutralValue) {
    struct Case {
        std::string text;
        double got;  ///< what number(text, 1, 5) answers
    };
    const Case numbers[] = {{"\"3\"", 1.0}, {"0.5", 1.0}, {"6", 1.0}, {"null", 1.0}, {"4", 4.0}};
    for (const Case& c : numbers) {
        Reading r;
        EXPECT_EQ(r.number(parse(c.text).value(), "n", 1.0, 5.0), c.got) << c.text;
    }
    const Json text = "text";
    Reading s;
    EXPECT_TRUE(s.array(text, "a", "expected a list").empty());
    EXPECT_EQ(s.fault()->message, "a: expected a list");
    Reading o;
    EXPECT_TRUE(o.object(text, "o").is_object());
    EXPECT_EQ(o.fault()->message, "o: expected an object");
    // Not an object is the fault of a field list too, not an exception from its keys.
    Reading k;
    k.onlyKeys(text, "k", {"a"});
    EXPECT_EQ(k.fault()->message, "k: expected an object");
    EXPECT_EQ(find(text, "a"), nullptr);
}

TEST(JsonReaderTest, FormatWritesNumbersAsAPersonDoes) {
    const std::pair<double, const char*> cases[] = {
        {0.5, "0.5"}, {1000.0, "1000"}, {1.0e9, "1000000000"}, {-2.25, "-2.25"}, {0.0, "0"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(format(value), text);
    }
}

TEST(JsonReaderTest, AKeyWithALineBreakIsNamedAsAJsonStringSoTheMessageStaysOneLine) {
    // Found by the API request fuzzer: an unknown key "\nx" split the refusal in two.
    EXPECT_EQ(join("signers[0]", "a\nb"), "signers[0][\"a\\nb\"]");
    EXPECT_EQ(join("", "\x7f"), "[\"\x7f\"]");
    EXPECT_EQ(join("a", "plain key"), "a.plain key");
}

}  // namespace
}  // namespace penwell::json
