#include "velko/platform/sql/value_bounds.h"

#include <gtest/gtest.h>

#include "velko/base/utf8.h"

namespace velko::platform::sql {
namespace {

TEST(ValueBounds, CutsLongTextOnceAtACharacterBoundary) {
  std::string short_text(10, 'a');
  EXPECT_FALSE(cut_long_text(short_text, 10));
  EXPECT_EQ(short_text, std::string(10, 'a'));

  std::string text = std::string(9, 'a') + "\xE2\x82\xAC" + "bc";  // the euro sign straddles byte 10
  EXPECT_TRUE(cut_long_text(text, 10));
  EXPECT_EQ(text, std::string(9, 'a') + "\xE2\x80\xA6 [3 more characters]");
  EXPECT_TRUE(base::is_valid_utf8(text));
  // A cut text is left alone: the marker is not counted as more text to cut.
  std::string again = text;
  EXPECT_FALSE(cut_long_text(again, 10));
  EXPECT_EQ(again, text);
  // A text that only looks cut somewhere else is still cut.
  std::string lookalike = "x\xE2\x80\xA6 [5 more characters]" + std::string(100, 'y');
  EXPECT_TRUE(cut_long_text(lookalike, 10));
  EXPECT_TRUE(lookalike.ends_with("more characters]"));
  EXPECT_LT(lookalike.size(), 40u);
  // The memory of what was cut goes back: fifty cut 20 MB values must not hold 1 GB.
  std::string huge(20'000'000, 'v');
  EXPECT_TRUE(cut_long_text(huge, MAX_VALUE_BYTES));
  EXPECT_LT(huge.capacity(), 2 * MAX_VALUE_BYTES);
}

TEST(ValueBounds, BoundsStructuredValuesByTheirJsonText) {
  EXPECT_EQ(bounded_value(Json(42), 4), Json(42));
  EXPECT_EQ(bounded_value(Json::array({1, 2}), 100), Json::array({1, 2}));
  Json big = Json::array({std::string(50, 'z')});
  Json cut = bounded_value(big, 20);
  ASSERT_TRUE(cut.is_string());
  EXPECT_EQ(cut.get<std::string>(), "[\"" + std::string(18, 'z') + "\xE2\x80\xA6 [34 more characters]");
}

}  // namespace
}  // namespace velko::platform::sql
