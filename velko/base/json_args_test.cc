// The typed argument reader: each reading's accepted values and refusals, and how a
// caller's style changes the texts, the error kinds and what null means.
#include "velko/base/json_args.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "velko/base/errors.h"

namespace velko::base {
namespace {

// The error's kind name and text, or "no error".
std::string outcome(const std::function<void()>& call) {
  try {
    call();
    return "no error";
  } catch (const Error& error) {
    return std::string(error.kind()) + ": " + error.what();
  }
}

TEST(JsonArgs, EachReadingTakesItsValuesAndFallsBackWhenNotGiven) {
  const Json json = {{"query", "dbt"},     {"port", 9000}, {"big", 18446744073709551615ULL},
                     {"ratio", -2.75},     {"flag", ""},   {"urls", {"https://a", "https://b"}},
                     {"nothing", nullptr}, {"count", 7.0}};
  JsonArgs args(json, JsonArgsStyle{});
  EXPECT_EQ(args.text("query"), "dbt");
  EXPECT_EQ(args.text("absent", "fallback"), "fallback");
  EXPECT_EQ(args.text("nothing", "fallback"), "fallback");  // null is not given by default
  EXPECT_EQ(args.nullable_text("nothing"), std::nullopt);
  EXPECT_EQ(args.nullable_text("query"), "dbt");
  EXPECT_EQ(args.text_or_integer("port"), "9000");
  EXPECT_EQ(args.text_or_integer("big"), "18446744073709551615");
  EXPECT_EQ(args.text_or_integer("absent", "8443"), "8443");
  EXPECT_EQ(args.number("ratio", 1.0), -2.75);
  EXPECT_EQ(args.number("port", 1.0), 9000.0);
  EXPECT_EQ(args.number("nothing", 30.0), 30.0);
  EXPECT_EQ(args.integer("port", 5, 0, 65535), 9000);
  EXPECT_EQ(args.integer("absent", 5, 0, 65535), 5);
  EXPECT_EQ(args.whole_number("ratio", 5), -2);  // toward zero
  EXPECT_EQ(args.whole_number("count", 5), 7);
  EXPECT_EQ(args.whole_number("absent", 5), 5);
  EXPECT_FALSE(args.truth("flag", true));
  EXPECT_FALSE(args.truth("nothing", true));  // a present null is false
  EXPECT_TRUE(args.truth("absent", true));
  EXPECT_THAT(args.text_list("urls"), ::testing::ElementsAre("https://a", "https://b"));
  EXPECT_TRUE(args.has("query"));
  EXPECT_FALSE(args.has("nothing"));
}

TEST(JsonArgs, WrongValuesAreRefusedWithTheDefaultTexts) {
  const Json json = {
      {"query", 5},       {"flag", true},  {"ratio", 1.5}, {"huge", 1e300}, {"big", 18446744073709551615ULL},
      {"urls", {"a", 2}}, {"port", 70000}, {"low", -1}};
  JsonArgs args(json, JsonArgsStyle{});
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { args.text("query"); }, "TypeError: query must be text, not number"},
      {[&] { args.text("absent"); }, "TypeError: absent is required"},
      {[&] { args.nullable_text("flag"); }, "TypeError: flag must be text or null, not boolean"},
      {[&] { args.text_or_integer("ratio"); }, "TypeError: ratio must be text or an integer, not number"},
      {[&] { args.text_or_integer("flag"); }, "TypeError: flag must be text or an integer, not boolean"},
      {[&] { args.number("flag", 0); }, "TypeError: flag must be a number, not boolean"},
      {[&] { args.integer("ratio", 0, 0, 10); }, "TypeError: ratio must be an integer, not number"},
      {[&] { args.integer("port", 0, 1, 65535); }, "ValueError: port must be between 1 and 65535"},
      {[&] { args.integer("low", 0, 0, 10); }, "ValueError: low must be between 0 and 10"},
      {[&] { args.integer("big", 0, 0, 10); }, "ValueError: big must be between 0 and 10"},
      {[&] { args.whole_number("flag", 0); }, "TypeError: flag must be a number, not boolean"},
      {[&] { args.whole_number("huge", 0); },
       "ValueError: huge must be between -9223372036854775808 and 9223372036854775807"},
      {[&] { args.whole_number("big", 0); },
       "ValueError: big must be between -9223372036854775808 and 9223372036854775807"},
      {[&] { args.text_list("query"); }, "TypeError: query must be a list of text, not number"},
      {[&] { args.text_list("urls"); }, "TypeError: urls must be a list of text; found number"},
      {[&] { args.text_list("absent"); }, "TypeError: absent is required"},
      {[&] {
         args.refuse_unknown({"query", "flag"});
       },
       "TypeError: unexpected argument 'ratio'"},
      {[] { JsonArgs(Json::array(), JsonArgsStyle{}); }, "TypeError: arguments must be a JSON object, not array"},
      {[] { JsonArgs(Json(), JsonArgsStyle{}); }, "TypeError: arguments must be a JSON object, not null"},
  };
  for (const auto& [call, expected] : cases) EXPECT_EQ(outcome(call), expected);
}

TEST(JsonArgs, AStyleSetsTheTextsTheKindsAndWhatNullMeans) {
  JsonArgsStyle style;
  style.type_name = &python_type_name;
  style.null_is_empty = true;
  style.null_is_absent = false;
  style.not_object = {ArgErrorKind::kValueError, "options of {name}{type} must be a mapping"};
  style.unknown = {ArgErrorKind::kValueError, "Unknown option '{name}'"};
  style.missing = {ArgErrorKind::kKeyError, "{name}"};
  style.wrong_type = {ArgErrorKind::kTypeError, "f() argument '{name}' must be {expected}, not {type} {unknown}"};
  style.out_of_range = {ArgErrorKind::kValueError, "{name} out of {min}..{max}"};
  style.words.text = "str";

  EXPECT_FALSE(JsonArgs(Json(), style).has("x"));  // null arguments are no arguments
  EXPECT_EQ(outcome([&] { JsonArgs(Json::array(), style); }), "ValueError: options of list must be a mapping");

  const Json json = {{"id", nullptr}, {"n", 11}, {"extra", 1}, {"name", "{type}"}};
  JsonArgs args(json, style);
  EXPECT_TRUE(args.has("id"));  // null is a value here
  EXPECT_EQ(args.nullable_text("id"), std::nullopt);
  EXPECT_EQ(args.text("name"), "{type}");  // values are never expanded
  EXPECT_EQ(outcome([&] { args.text("id"); }), "TypeError: f() argument 'id' must be str, not NoneType {unknown}");
  EXPECT_EQ(outcome([&] { args.text("id", "fallback"); }),
            "TypeError: f() argument 'id' must be str, not NoneType {unknown}");
  EXPECT_EQ(outcome([&] { args.text("password"); }), "KeyError: 'password'");
  EXPECT_EQ(outcome([&] { args.integer("n", 0, 0, 10); }), "ValueError: n out of 0..10");
  EXPECT_EQ(outcome([&] { args.refuse_unknown({"id", "n", "name"}); }), "ValueError: Unknown option 'extra'");
  EXPECT_EQ(outcome([&] { args.wrong_type("n", "str or int"); }),
            "TypeError: f() argument 'n' must be str or int, not int {unknown}");
  EXPECT_EQ(outcome([&] { args.refuse_unknown({"id", "n", "extra", "name"}); }), "no error");
}

TEST(JsonArgs, TypeNamesAndPatterns) {
  const std::pair<Json, std::string> names[] = {{Json("x"), "str"},      {Json(1), "int"},
                                                {Json(2u), "int"},       {Json(1.5), "float"},
                                                {Json(true), "bool"},    {Json(nullptr), "NoneType"},
                                                {Json::array(), "list"}, {Json::object(), "dict"}};
  for (const auto& [value, name] : names) EXPECT_EQ(python_type_name(value), name) << value;
  EXPECT_EQ(json_type_name(Json(1.5)), "number");
  EXPECT_EQ(expand_arg_message("{name}={expected}/{type} {min}-{max} {other} {", "n", "e", "t", "1", "2"),
            "n=e/t 1-2 {other} {");
}

}  // namespace
}  // namespace velko::base
