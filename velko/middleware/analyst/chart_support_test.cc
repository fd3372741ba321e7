#include "velko/middleware/analyst/chart_support.h"

#include <gtest/gtest.h>

#include "velko/base/utf8.h"

namespace velko::middleware::analyst {
namespace {

TEST(SafeToolCallId, KeepsUnicodeLettersDigitsDashUnderscoreAndLength) {
  struct Case {
    std::string input, expected;
  };
  std::vector<Case> cases = {
      {"call:1/2", "call_1_2"},
      {"toolu_01A-b", "toolu_01A-b"},
      {"../../etc", "______etc"},
      {"a b;rm -rf ~", "a_b_rm_-rf__"},
      {"caf\xc3\xa9-\xe4\xb8\xad-\xd9\xa3", "caf\xc3\xa9-\xe4\xb8\xad-\xd9\xa3"},  // é, 中, Arabic-Indic three
      {"\xc2\xb2\xe2\x85\xab", "\xc2\xb2\xe2\x85\xab"},                            // ², Roman numeral twelve
      {"\xe2\x82\xac\xf0\x9f\x93\x88", "__"},                                      // €, chart emoji
      {"e\xcc\x81", "e_"},                                                         // combining accent is a mark
      {"a\xffz\xc3", "a_z_"},                                                      // invalid bytes, one each
      {"$(id)`x`", "__id__x_"},
  };
  for (const auto& item : cases) {
    std::string safe = _safe_tool_call_id(item.input);
    EXPECT_EQ(safe, item.expected) << item.input;
    EXPECT_EQ(base::count_code_points(safe), base::count_code_points(item.input)) << item.input;
  }
}

TEST(SafeToolCallId, LetterOrDigitTableBoundaries) {
  struct Case {
    uint32_t code_point;
    bool expected;
  };
  std::vector<Case> cases = {{'0', true},    {'9', true},      {'/', false},   {':', false},    {'A', true},
                             {'z', true},    {'_', false},     {0xAA, true},   {0xAB, false},   {0x10FFFF, false},
                             {0x4E00, true}, {0x1F4C8, false}, {0x2160, true}, {0x0301, false}, {0x3000, false}};
  for (const auto& item : cases)
    EXPECT_EQ(is_unicode_letter_or_digit(item.code_point), item.expected) << item.code_point;
}

TEST(PythonStringBody, OrdinaryPathsUnchangedSpecialCharactersEscaped) {
  struct Case {
    std::string input, expected;
  };
  std::vector<Case> cases = {
      {"/home/ana/.velko/charts/-work-sales", "/home/ana/.velko/charts/-work-sales"},
      {"/home/jos\xc3\xa9/it's", "/home/jos\xc3\xa9/it's"},
      {"/a\"b\\c", "/a\\\"b\\\\c"},
      {"/x\ny\tz\x7f", "/x\\x0ay\\x09z\\x7f"},
      {"/bad\xff", "/bad\\udcff"},
      {"\"); import os; os.system(\"id", "\\\"); import os; os.system(\\\"id"},
  };
  for (const auto& item : cases) EXPECT_EQ(python_string_body(item.input), item.expected) << item.input;
}

TEST(SecretRedactor, MasksUrlPasswordTokensAndTheirEncodings) {
  SecretRedactor postgres("postgresql+psycopg://ana:p%40ss-word@db:5432/sales",
                          Json{{"type", "POSTGRES"}, {"username", "ana"}, {"password", "p@ss-word"}});
  EXPECT_EQ(postgres.redact("could not connect: postgresql+psycopg://ana:p%40ss-word@db:5432/sales"),
            "could not connect: postgresql+psycopg://ana:***@db:5432/sales");
  EXPECT_EQ(postgres.redact("password p@ss-word rejected; encoded p%40ss-word"), "password *** rejected; encoded ***");
  EXPECT_EQ(postgres.redact("user ana"), "user ana");

  SecretRedactor motherduck("duckdb:///md:analytics?motherduck_token=tok-123456",
                            Json{{"type", "MOTHERDUCK"}, {"token", "tok-123456"}});
  EXPECT_EQ(motherduck.redact("token tok-123456 expired"), "token *** expired");

  // Short values are not masked; no connection masks nothing.
  SecretRedactor short_password("postgresql+psycopg://a:pw@h:5432/d", Json{{"password", "pw"}});
  EXPECT_EQ(short_password.redact("pwd is pw"), "pwd is pw");
  EXPECT_EQ(SecretRedactor().redact("anything"), "anything");
  EXPECT_EQ(SecretRedactor("sqlite:////tmp/w.db", Json{{"type", "SQLITE"}}).redact("sqlite:////tmp/w.db"),
            "sqlite:////tmp/w.db");
}

TEST(ChartAnswers, FailureAndSuccessJsonText) {
  EXPECT_EQ(chart_failure("caf\xc3\xa9 \"x\""), "{\"charts\": [], \"error\": \"caf\\u00e9 \\\"x\\\"\"}");
  EXPECT_EQ(chart_success(Json::array({Json{{"path", "/p/a.png"}, {"filename", "a.png"}}})),
            "{\"charts\": [{\"path\": \"/p/a.png\", \"filename\": \"a.png\"}]}");
}

}  // namespace
}  // namespace velko::middleware::analyst
