#include "velko/base/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "velko/base/errors.h"

namespace velko::base {
namespace {

TEST(FloatRepr, MatchesShortestRoundTripForm) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {1e16, "1e+16"},
      {1e-05, "1e-05"},
      {0.0001, "0.0001"},
      {123456789.5, "123456789.5"},
      {1e15, "1000000000000000.0"},
      {-2.5, "-2.5"},
      {1.5e300, "1.5e+300"},
      {5e-324, "5e-324"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {3.14159, "3.14159"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {1234567890123456.7, "1234567890123456.8"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_repr(c.value), c.text) << c.text;
  EXPECT_EQ(float_repr(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(float_repr(-std::numeric_limits<double>::infinity()), "-Infinity");
  EXPECT_EQ(float_repr(std::nan("")), "NaN");
}

TEST(Dumps, UsesSpacedSeparatorsAndKeepsKeyOrder) {
  Json value = Json::object();
  value["zeta"] = 1;
  value["alpha"] = Json::array({true, nullptr, 2.0, "x"});
  value["mid"] = Json::object();
  EXPECT_EQ(dumps(value), R"({"zeta": 1, "alpha": [true, null, 2.0, "x"], "mid": {}})");
  EXPECT_EQ(dumps(Json::array()), "[]");
  EXPECT_EQ(dumps(Json(-7)), "-7");
  EXPECT_EQ(dumps(Json(18446744073709551615ULL)), "18446744073709551615");
}

TEST(Dumps, EscapesLikeAsciiOnlyJson) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const Case cases[] = {
      {"plain", R"("plain")"},
      {"quote\" back\\slash", R"("quote\" back\\slash")"},
      {"\n\r\t\b\f", R"("\n\r\t\b\f")"},
      {std::string("\x01\x1f\x7f", 3), R"("\u0001\u001f\u007f")"},
      {"caf\xC3\xA9", R"("caf\u00e9")"},
      {"\xE2\x82\xAC", R"("\u20ac")"},
      {"\xF0\x9F\x98\x80", R"("\ud83d\ude00")"},    // above U+FFFF: surrogate pair
      {"bad\xFF byte", R"("bad\ufffd byte")"},      // invalid UTF-8 never passes through
      {"\xC0\xAF", R"("\ufffd\ufffd")"},            // overlong form
      {"\xED\xA0\x80", R"("\ufffd\ufffd\ufffd")"},  // encoded surrogate
      {"trunc\xE2\x82", R"("trunc\ufffd\ufffd")"},
      {std::string("nul\0in", 6), R"("nul\u0000in")"},
      {"/", R"("/")"},
  };
  for (const auto& c : cases) EXPECT_EQ(dumps(Json(c.input)), c.expected) << c.expected;
  Json keyed = Json::object();
  keyed["n\xC3\xA4me"] = "v";
  EXPECT_EQ(dumps(keyed), R"({"n\u00e4me": "v"})");
}

TEST(Dumps, WritesNonFiniteFloatsAsBareWords) {
  Json value = Json::array({std::numeric_limits<double>::infinity(), std::nan(""), 0.5});
  EXPECT_EQ(dumps(value), "[Infinity, NaN, 0.5]");
}

TEST(Loads, ParsesAndRejectsMalformedText) {
  EXPECT_EQ(loads(R"({"a": [1, 2]})")["a"][1], 2);
  EXPECT_THROW(loads("{not json"), ValueError);
  EXPECT_THROW(loads(""), ValueError);
}

TEST(Loads, RefusesDeepNestingBeforeBuildingAnything) {
  // 100,000 nested arrays used to overflow the stack when the parsed value was copied.
  std::string deep(100000, '[');
  deep.append(100000, ']');
  try {
    loads(deep);
    FAIL() << "deep nesting accepted";
  } catch (const ValueError& error) {
    EXPECT_STREQ(error.what(), "invalid JSON: nesting deeper than 512 levels");
  }
  std::string at_limit = std::string(512, '[') + std::string(512, ']');
  EXPECT_NO_THROW(loads(at_limit));
  EXPECT_THROW(loads("[" + at_limit + "]"), ValueError);
  // Brackets inside strings (escaped quotes included) do not count.
  std::string in_string = "[\"\\\"" + std::string(1000, '[') + "\"]";
  EXPECT_EQ(loads(in_string)[0].get<std::string>().size(), 1001u);
  EXPECT_TRUE(json_depth_within("{\"a\": {\"b\": [1]}}", 3));
  EXPECT_FALSE(json_depth_within("{\"a\": {\"b\": [1]}}", 2));
}

// Text from a service or a warehouse value may be anything: the non-throwing form refuses
// the same texts, deep nesting and out-of-range numbers included.
TEST(Loads, TryLoadsRefusesWhatLoadsRefuses) {
  EXPECT_EQ(try_loads("{\"a\": [1, 2]}"), Json({{"a", {1, 2}}}));
  for (const std::string& text : {std::string("{not json"), std::string(""), std::string("1e999"),
                                  std::string(60000, '[') + std::string(60000, ']'), std::string("[1] 2")}) {
    EXPECT_EQ(try_loads(text), std::nullopt) << text.substr(0, 20);
    EXPECT_THROW(loads(text), ValueError) << text.substr(0, 20);
  }
}

TEST(Errors, KindsAndKeyErrorText) {
  try {
    throw KeyError("password");
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "'password'");
    EXPECT_STREQ(error.kind(), "KeyError");
  }
  FileNotFoundError missing("gone");
  const OSError& as_os = missing;
  EXPECT_STREQ(as_os.kind(), "FileNotFoundError");
  const std::exception& as_std = missing;
  EXPECT_STREQ(as_std.what(), "gone");
}

}  // namespace
}  // namespace velko::base

namespace velko {
namespace {

// Conditions on run configuration and agent state read values the way the runtime does:
// the empty ones (including an empty string) are false.
TEST(IsFalsy, OnlyTheEmptyValuesAreFalse) {
  for (const Json& value :
       {Json(nullptr), Json(false), Json(0), Json(0u), Json(0.0), Json(""), Json::array(), Json::object()}) {
    EXPECT_TRUE(base::is_falsy(value)) << value.dump();
  }
  for (const Json& value :
       {Json(true), Json(-1), Json(0.5), Json("0"), Json(" "), Json::array({0}), Json{{"a", nullptr}}}) {
    EXPECT_FALSE(base::is_falsy(value)) << value.dump();
  }
}

}  // namespace
}  // namespace velko
