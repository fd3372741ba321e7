// The value conversions of the drivers: PostgreSQL text output to JSON values and the
// text forms of values without a JSON form.
#include <gtest/gtest.h>

#include "velko/base/json.h"
#include "velko/platform/sql/postgres_values.h"
#include "velko/platform/sql/text_forms.h"

namespace velko::platform::sql {
namespace {

using Case = std::pair<std::string, std::string>;  // input, expected

TEST(TextForms, DecimalsReadLikeDecimalStrings) {
  for (const auto& [input, expected] : std::vector<Case>{{"1234.500000", "1234.500000"},
                                                         {"-0.000001", "-0.000001"},
                                                         {"0.0000001", "1E-7"},
                                                         {"0.00000010", "1.0E-7"},
                                                         {"0.000", "0.000"},
                                                         {"0.0000000", "0E-7"},
                                                         {"100000000000000000000", "100000000000000000000"},
                                                         {"007.50", "7.50"},
                                                         {"NaN", "NaN"},
                                                         {"-Infinity", "-Infinity"},
                                                         {"12abc", "12abc"}}) {
    EXPECT_EQ(decimal_text(input), expected) << input;
  }
}

TEST(TextForms, TimestampsAndTimesPadFractionsAndWriteZonesInFull) {
  for (const auto& [input, expected] : std::vector<Case>{
           {"2024-01-15 10:30:00", "2024-01-15 10:30:00"},
           {"2024-01-15 10:30:00.123", "2024-01-15 10:30:00.123000"},
           {"2000-06-01 06:30:00.5+00", "2000-06-01 06:30:00.500000+00:00"},
           {"2024-01-15 10:30:00+05:30", "2024-01-15 10:30:00+05:30"},
           {"1890-01-01 00:00:00-00:17:30", "1890-01-01 00:00:00-00:17:30"},
           {"0044-03-15 10:00:00 BC", "0044-03-15 10:00:00 BC"},
           {"infinity", "infinity"},
           {"12345-01-01 00:00:00", "12345-01-01 00:00:00"},
       }) {
    EXPECT_EQ(timestamp_text(input), expected) << input;
  }
  for (const auto& [input, expected] : std::vector<Case>{{"10:30:00", "10:30:00"},
                                                         {"23:59:59.999999", "23:59:59.999999"},
                                                         {"10:30:00+02", "10:30:00+02:00"},
                                                         {"00:00:00.25-05:30", "00:00:00.250000-05:30"},
                                                         {"24:00:00", "24:00:00"}}) {
    EXPECT_EQ(time_text(input), expected) << input;
  }
}

TEST(TextForms, IntervalsReadLikeTimedeltas) {
  for (const auto& [input, expected] : std::vector<Case>{
           {"00:00:00", "0:00:00"},
           {"1 day 02:03:04", "1 day, 2:03:04"},
           {"3 days", "3 days, 0:00:00"},
           {"-00:00:01", "-1 day, 23:59:59"},
           {"1 year 2 mons", "425 days, 0:00:00"},
           {"-1 years -2 mons +3 days -04:05:06.5", "-423 days, 19:54:53.500000"},
           {"100:00:00", "4 days, 4:00:00"},
           {"1 fortnight", "1 fortnight"},
       }) {
    EXPECT_EQ(interval_text(input), expected) << input;
  }
}

TEST(TextForms, BytesReadLikeBytesLiterals) {
  EXPECT_EQ(bytes_repr(std::string("\x00\xff"
                                   "A",
                                   3)),
            "b'\\x00\\xffA'");
  EXPECT_EQ(bytes_repr("it's"), "b\"it's\"");
  EXPECT_EQ(bytes_repr("a'b\"c\\\t\n\r"), "b'a\\'b\"c\\\\\\t\\n\\r'");
  EXPECT_EQ(bytes_repr(""), "b''");
  EXPECT_EQ(bytea_text("\\x00ff41"), "b'\\x00\\xffA'");
  EXPECT_EQ(bytea_text("\\x"), "b''");
  EXPECT_EQ(bytea_text("\\000abc"), "\\000abc");  // escape format: kept as sent
}

TEST(PgValue, KeepsEachKindOfValue) {
  struct ValueCase {
    PgOid type;
    std::string text;
    Json expected;
  };
  const std::vector<ValueCase> cases = {
      {23, "34567", 34567},
      {20, "9007199254740993", 9007199254740993LL},
      {20, "-9223372036854775808", INT64_MIN},
      {21, "-32768", -32768},
      {701, "0.1", 0.1},
      {700, "1.5", 1.5},
      {16, "t", true},
      {16, "f", false},
      {25, "Grüße", "Grüße"},
      {1700, "1234.500000", "1234.500000"},
      {1082, "2024-01-15", "2024-01-15"},
      {1186, "1 day 02:03:04", "1 day, 2:03:04"},
      {2950, "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11", "a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11"},
      {114, R"({"a": [1, 2.5, "x"], "b": null})", Json::parse(R"({"a": [1, 2.5, "x"], "b": null})")},
      {3802, R"("just text")", "just text"},
      {869, "192.168.0.1/24", "192.168.0.1/24"},
      {1007, "{1,NULL,3}", Json::parse("[1, null, 3]")},
      {1009, R"({"a b","c,d","e\"f",NULL,"NULL"})", Json::parse(R"(["a b", "c,d", "e\"f", null, "NULL"])")},
      {1231, "{1.10,NaN}", Json::parse(R"(["1.10", "NaN"])")},
      {1007, "{{1,2},{3,4}}", Json::parse("[[1, 2], [3, 4]]")},
      {1007, "[0:1]={5,6}", Json::parse("[5, 6]")},
      {1009, "{}", Json::array()},
      {3807, R"({"{\"k\": 1}"})", Json::parse(R"([{"k": 1}])")},
      {1007, "{1,2", "{1,2"},  // unreadable: the server's text
  };
  for (const auto& [type, text, expected] : cases) {
    EXPECT_EQ(pg_value(type, text), expected) << type << " " << text;
  }
  Json nan = pg_value(701, "NaN");
  ASSERT_TRUE(nan.is_number_float());
  EXPECT_EQ(base::dumps(nan), "NaN");
  EXPECT_EQ(base::dumps(pg_value(700, "Infinity")), "Infinity");
}

}  // namespace
}  // namespace velko::platform::sql
