#include "velko/middleware/skills/frontmatter.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <regex>

#include "velko/base/errors.h"
#include "velko/base/utf8.h"

namespace velko::middleware::skills {
namespace {

constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

struct MatchCase {
  const char* label;
  std::string text;
  std::optional<std::string> group;
};

TEST(MatchFrontMatter, FollowsTheExpressionOnItsEdges) {
  const std::vector<MatchCase> cases = {
      {"simple", "---\nname: a\n---\nbody", "name: a"},
      {"white space after the dashes", "---  \t\nname: a\n---  \nbody", "name: a"},
      {"blank line before the opening", "\n---\nname: a\n---\n", std::nullopt},
      {"closing line is the last line", "---\nname: a\n---", std::nullopt},
      {"closing followed by spaces only", "---\nname: a\n---   ", std::nullopt},
      {"one empty line between the dashes", "---\n\n---\n", ""},
      {"nothing between the dashes", "---\n---\n", std::nullopt},
      {"the first closing line ends it", "---\na\n---\nb\n---\n", "a"},
      {"blank lines after the opening", "---\n\n\nname: a\n---\n", "name: a"},
      {"dashes followed by text do not close", "---\nname: a\n---x\n---\n", "name: a\n---x"},
      {"closing with trailing white space", "---\nname: a\n--- \t \nrest", "name: a"},
      {"closing white space spans lines", "---\nname: a\n---  \n\n  \nrest", "name: a"},
      {"four dashes do not open", "----\nname\n---\n", std::nullopt},
      {"text after the opening dashes", "--- name: a\n---\n", std::nullopt},
      {"only the opening line", "---\n", std::nullopt},
      {"empty text", "", std::nullopt},
      {"opening run of blank lines then a closing", "---\n\n---\n\n---\n", "---\n"},
      {"unicode space after the opening", "---\u2003\nname: a\n---\n", "name: a"},
      {"no-break space after the closing", "---\nname: a\n---\u00a0\nx", "name: a"},
      {"paragraph separator is white space", "---\nname: a\n---\u2029\n", "name: a"},
      {"multi-line front matter", "---\nname: a\ndescription: b\n---\n\n# Body\n", "name: a\ndescription: b"},
  };
  for (const auto& c : cases) {
    std::optional<std::string_view> got = match_front_matter(c.text);
    if (c.group) {
      ASSERT_TRUE(got.has_value()) << c.label;
      EXPECT_EQ(*got, *c.group) << c.label;
    } else {
      EXPECT_FALSE(got.has_value()) << c.label << ": matched '" << *got << "'";
    }
  }
}

// The hand-written match agrees with a backtracking regular-expression engine on many
// small texts built from the characters that matter.
TEST(MatchFrontMatter, AgreesWithARegexEngine) {
  const std::regex expression("^---\\s*\\n([\\s\\S]*?)\\n---\\s*\\n");
  const std::vector<std::string> pieces = {"-", "---", "\n", "\n", " ", "\t", "a", "\n---", "\n---\n", "\v"};
  std::mt19937 random(20240607);
  int matched = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = round % 8 == 0 ? "" : "---";
    size_t length = random() % 9;
    for (size_t idx = 0; idx < length; ++idx) text += pieces[random() % pieces.size()];
    std::smatch found;
    bool expected = std::regex_search(text, found, expression);
    std::optional<std::string_view> got = match_front_matter(text);
    ASSERT_EQ(got.has_value(), expected) << "text: [" << text << "]";
    if (expected) {
      ++matched;
      ASSERT_EQ(std::string(*got), found[1].str()) << "text: [" << text << "]";
    }
  }
  EXPECT_GT(matched, 1000);  // the sample exercises matches, not only misses
}

TEST(MatchFrontMatter, HandlesTenMebibytesWithAndWithoutFrontMatter) {
  std::string body(10 * 1024 * 1024, 'x');
  for (size_t idx = 100; idx < body.size(); idx += 100) body[idx] = '\n';
  EXPECT_FALSE(match_front_matter(body).has_value());
  std::string with = "---\nname: a\ndescription: b\n---\n" + body;
  ASSERT_TRUE(match_front_matter(with).has_value());
  EXPECT_EQ(*match_front_matter(with), "name: a\ndescription: b");
  // An opening line but no closing line: the whole text is searched once.
  std::string unclosed = "---\n" + body;
  EXPECT_FALSE(match_front_matter(unclosed).has_value());
  // A long run of blank lines after the opening.
  std::string blank = "---" + std::string(5 * 1024 * 1024, '\n') + "x";
  EXPECT_FALSE(match_front_matter(blank).has_value());
}

struct FieldCase {
  const char* label;
  std::string yaml_value;
  std::optional<std::string> text;  // nullopt: counts as missing
};

FrontMatterFields read_with_name(const std::string& value) {
  return read_front_matter("---\nname: " + value + "\ndescription: d\n---\n", 1024, 10485760);
}

TEST(ReadFrontMatter, ResolvesPlainScalarsForPresenceAndKeepsTheirWrittenText) {
  const std::vector<FieldCase> cases = {
      {"text", "sql-review", "sql-review"},
      {"integer", "42", "42"},
      {"zero", "0", std::nullopt},
      {"negative zero", "-0", std::nullopt},
      {"hex zero", "0x0", std::nullopt},
      {"hex", "0x2A", "0x2A"},
      {"binary zero", "0b00", std::nullopt},
      {"octal zero", "000", std::nullopt},
      {"octal", "017", "017"},
      {"underscored", "1_000", "1_000"},
      {"sexagesimal", "1:30", "1:30"},
      {"float zero", "0.0", std::nullopt},
      {"float zero with exponent", "0.0e+5", std::nullopt},
      {"float", "1.50", "1.50"},
      {"leading-dot float zero", ".0", std::nullopt},
      {"sexagesimal float zero", "0:00.0", std::nullopt},
      {"infinity", "-.inf", "-.inf"},
      {"not a number", ".nan", ".nan"},
      {"exponent without sign is text", "1e3", "1e3"},
      {"false", "false", std::nullopt},
      {"no", "no", std::nullopt},
      {"Off", "Off", std::nullopt},
      {"yes", "yes", "yes"},
      {"True", "True", "True"},
      {"y is text", "y", "y"},
      {"tilde", "~", std::nullopt},
      {"null", "null", std::nullopt},
      {"empty", "", std::nullopt},
      {"empty quoted", "''", std::nullopt},
      {"quoted zero is text", "'0'", "0"},
      {"quoted false is text", "\"false\"", "false"},
      {"tagged text", "!!str 0", "0"},
      {"tagged integer zero", "!!int 0", std::nullopt},
      {"non-specific tag resolves by the text", "! 0", std::nullopt},
      {"non-specific tag on a quoted zero", "! '0'", std::nullopt},
      {"non-specific tag on a number", "! 7", "7"},
      {"date", "2024-01-31", "2024-01-31"},
      {"timestamp", "2001-12-14 21:59:43.10 -5", "2001-12-14 21:59:43.10 -5"},
      {"empty list", "[]", std::nullopt},
      {"empty mapping", "{}", std::nullopt},
      {"list", "[a, 1, true, null, 'x''y', \"q\\\"\"]", "['a', 1, True, None, \"x'y\", 'q\"']"},
      {"mapping", "{k: v, 2: [x]}", "{'k': 'v', 2: ['x']}"},
      {"escapes in text items", "[\"a\\tb\\u0001\\u00e9\\\\\"]", "['a\\tb\\x01\u00e9\\\\']"},
      {"double-quoted escapes", "\"caf\\u00e9 \\x41\"", "caf\u00e9 A"},
      {"folded plain scalar", "a\n  b", "a b"},
      {"multiple spaces inside", "a   b", "a   b"},
      {"non-ascii", "d\u00e9j\u00e0", "d\u00e9j\u00e0"},
  };
  for (const auto& c : cases) {
    FrontMatterFields fields = read_with_name(c.yaml_value);
    if (c.text) {
      ASSERT_EQ(fields.status, FrontMatterFields::Status::kOk) << c.label;
      EXPECT_EQ(fields.name, *c.text) << c.label;
    } else {
      EXPECT_EQ(fields.status, FrontMatterFields::Status::kMissingField) << c.label;
    }
  }
}

TEST(ReadFrontMatter, StatusesForMissingAndNonMappingFrontMatter) {
  using Status = FrontMatterFields::Status;
  const std::vector<std::pair<std::string, Status>> cases = {
      {"no front matter at all", Status::kNoFrontMatter},
      {"---\n\n---\n", Status::kNotMapping},
      {"---\n# only a comment\n---\n", Status::kNotMapping},
      {"---\n- name\n- description\n---\n", Status::kNotMapping},
      {"---\njust text\n---\n", Status::kNotMapping},
      {"---\nname: sql-review\n---\n", Status::kMissingField},
      {"---\ndescription: d\n---\n", Status::kMissingField},
      {"---\nName: a\nDescription: b\n---\n", Status::kMissingField},
      {"---\nname: a\ndescription: b\nextra: [1, 2]\n---\n", Status::kOk},
  };
  for (const auto& [text, status] : cases) {
    EXPECT_EQ(read_front_matter(text, 1024, 10485760).status, status) << text;
  }
}

TEST(ReadFrontMatter, CutsTheDescriptionAfterConvertingItToText) {
  std::string long_text(1500, 'd');
  FrontMatterFields fields = read_front_matter("---\nname: n\ndescription: " + long_text + "\n---\n", 1024, 10485760);
  EXPECT_EQ(fields.description, std::string(1024, 'd'));

  std::string accented;
  for (int idx = 0; idx < 1500; ++idx) accented += "\u00e9";
  fields = read_front_matter("---\nname: n\ndescription: " + accented + "\n---\n", 1024, 10485760);
  EXPECT_EQ(fields.description.size(), 2048u);  // 1024 two-byte characters, none split

  fields = read_front_matter("---\nname: n\ndescription: 12345\n---\n", 3, 10485760);
  EXPECT_EQ(fields.description, "123");
  fields = read_front_matter("---\nname: n\ndescription: true\n---\n", 1024, 10485760);
  EXPECT_EQ(fields.description, "true");

  std::string long_name(100, 'n');
  fields = read_front_matter("---\nname: " + long_name + "\ndescription: d\n---\n", 1024, 10485760);
  EXPECT_EQ(fields.name, long_name);
}

TEST(ReadFrontMatter, LastKeyWinsAndMergeKeysAreHonoured) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"name: first\nname: second\ndescription: d", "second"},
      {"base: &b {name: merged, description: d}\n<<: *b", "merged"},
      {"base: &b {name: merged, description: d}\nname: own\n<<: *b", "own"},
      {"a: &a {name: from-a}\nb: &b {name: from-b}\n<<: [*a, *b]\ndescription: d", "from-a"},
      {"a: &a {name: from-a}\nb: &b {name: from-b}\n<<: *a\n<<: *b\ndescription: d", "from-b"},
      {"a: &a {name: deep}\nb: &b {<<: *a}\n<<: *b\ndescription: d", "deep"},
      {"m: &m {name: loop, <<: *m}\n<<: *m\ndescription: d", "loop"},
      {"? name\n: complex-key\ndescription: d", "complex-key"},
      {"'name': quoted-key\ndescription: d", "quoted-key"},
  };
  for (const auto& [yaml, name] : cases) {
    FrontMatterFields fields = read_front_matter("---\n" + yaml + "\n---\n", 1024, 10485760);
    ASSERT_EQ(fields.status, FrontMatterFields::Status::kOk) << yaml;
    EXPECT_EQ(fields.name, name) << yaml;
  }
  // A merged mapping converts to text as the mapping it becomes.
  FrontMatterFields fields =
      read_front_matter("---\nb: &b {x: 1, y: 2}\nname: {<<: *b, y: 3, z: 4}\ndescription: d\n---\n", 1024, 10485760);
  EXPECT_EQ(fields.name, "{'x': 1, 'y': 3, 'z': 4}");
}

TEST(ReadFrontMatter, RefusesWhatASafeLoaderRefuses) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"name: [unclosed\ndescription: d", ""},
      {"name: a: b\ndescription: d", "mapping values are not allowed"},
      {"name: !!python/object:os.system x\ndescription: d", "could not determine a constructor"},
      {"name: !custom x\ndescription: d", "could not determine a constructor for the tag '!custom'"},
      {"name: !!int abc\ndescription: d", "invalid value"},
      {"name: &a x\nother: &a y\ndescription: d", "found duplicate anchor 'a'"},
      {"name: *missing\ndescription: d", "found undefined alias 'missing'"},
      {"name: x\n--- b\ndescription: d", "expected a single document"},
      {"<<: 5\nname: x\ndescription: d", "for merging"},
      {"? [a, b]\n: 1\nname: x\ndescription: d", "unhashable key"},
      {std::string("name: a\x01\ndescription: d"), "unacceptable character #x0001"},
      {"name: a\ufffe\ndescription: d", "unacceptable character #xfffe"},
  };
  for (const auto& [yaml, message] : cases) {
    try {
      read_front_matter("---\n" + yaml + "\n---\n", 1024, 10485760);
      ADD_FAILURE() << "no error for: " << yaml;
    } catch (const YAMLError& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << yaml << " -> " << error.what();
    }
  }
}

// Nine levels of nine aliases expand to 9^9 items.
std::string billion_laughs(const std::string& name_line, const std::string& description_line) {
  std::string yaml = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level <= 9; ++level) {
    std::string prev = "*a" + std::to_string(level - 1);
    yaml += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [" + prev;
    for (int idx = 1; idx < 9; ++idx) yaml += ", " + prev;
    yaml += "]\n";
  }
  return "---\n" + yaml + name_line + "\n" + description_line + "\n---\n";
}

TEST(ReadFrontMatter, AliasExpansionIsBoundedNotBuilt) {
  // As the description: converted up to the cut, no further.
  FrontMatterFields fields = read_front_matter(billion_laughs("name: n", "description: *a9"), 1024, 10485760);
  ASSERT_EQ(fields.status, FrontMatterFields::Status::kOk);
  EXPECT_EQ(fields.description.size(), 1024u);
  EXPECT_EQ(fields.description.substr(0, 17), "[[[[[[[[[['lol', ");
  // As the name (kept whole): refused once it outgrows what the text could spell out.
  EXPECT_THROW(read_front_matter(billion_laughs("name: *a9", "description: d"), 1024, 10485760), YAMLError);
  // A small expansion is converted whole.
  fields = read_front_matter(billion_laughs("name: *a1", "description: d"), 1024, 10485760);
  EXPECT_EQ(fields.name.size(), 9u * (9 * 5 + 8 * 2 + 2) + 8 * 2 + 2);

  // Merge keys that would multiply entries are refused the same way.
  std::string merges = "m0: &m0 {k0: 0, k1: 1}\n";
  for (int level = 1; level <= 30; ++level) {
    std::string prev = "*m" + std::to_string(level - 1);
    merges += "m" + std::to_string(level) + ": &m" + std::to_string(level) + " {<<: [" + prev + ", " + prev + "]}\n";
  }
  EXPECT_THROW(read_front_matter("---\n" + merges + "name: *m30\ndescription: d\n---\n", 1024, 10485760), YAMLError);
  std::string empty_merges = "e0: &e0 {}\n";
  for (int level = 1; level <= 40; ++level) {
    std::string prev = "*e" + std::to_string(level - 1);
    empty_merges +=
        "e" + std::to_string(level) + ": &e" + std::to_string(level) + " {<<: [" + prev + ", " + prev + "]}\n";
  }
  EXPECT_THROW(read_front_matter("---\n" + empty_merges + "name: *e40\ndescription: d\n---\n", 1024, 10485760),
               YAMLError);
}

TEST(ReadFrontMatter, RecursiveStructuresConvertWithEllipses) {
  FrontMatterFields fields = read_front_matter("---\nname: &a [x, *a]\ndescription: &m {k: *m}\n---\n", 1024, 10485760);
  ASSERT_EQ(fields.status, FrontMatterFields::Status::kOk);
  EXPECT_EQ(fields.name, "['x', [...]]");
  EXPECT_EQ(fields.description, "{'k': {...}}");
}

TEST(ReadFrontMatter, DeepNestingIsAnErrorNotACrash) {
  std::string deep(100000, '[');
  EXPECT_THROW(read_front_matter("---\nname: " + deep + "\ndescription: d\n---\n", 1024, 10485760), YAMLError);
  // A long chain of aliases, each one level deeper than the last.
  std::string chain = "c0: &c0 [x]\n";
  for (int idx = 1; idx < 3000; ++idx) {
    chain += "c" + std::to_string(idx) + ": &c" + std::to_string(idx) + " [*c" + std::to_string(idx - 1) + "]\n";
  }
  EXPECT_THROW(read_front_matter("---\n" + chain + "name: *c2999\ndescription: d\n---\n", 1024, 10485760), YAMLError);
}

TEST(PythonRepr, QuotesAndEscapesLikePython) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "'plain'"},
      {"it's", "\"it's\""},
      {"both ' and \"", "'both \\' and \"'"},
      {"tab\tnewline\ncr\r", "'tab\\tnewline\\ncr\\r'"},
      {"back\\slash", "'back\\\\slash'"},
      {std::string("nul\0x", 5), "'nul\\x00x'"},
      {"\u00a0\u00e9\u200b\u2028", "'\\xa0\u00e9\\u200b\\u2028'"},
      {"\xff", "'\\xff'"},
  };
  for (const auto& [text, repr] : cases) EXPECT_EQ(python_repr(text), repr);
}

TEST(DecodeTextFile, TurnsLineEndsIntoLineFeeds) {
  EXPECT_EQ(base::decode_text_file("a\r\nb\rc\n\r\r\nd"), "a\nb\nc\n\n\nd");
  // The same as replacing CR LF, then lone CR, on many mixed texts (the rewrite is in place).
  const std::vector<std::string> pieces = {"\r", "\n", "\r\n", "a", "\xc3\xa9", "12345678", "\xe2\x80\xa8"};
  std::mt19937 random(7);
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (size_t idx = random() % 12; idx > 0; --idx) text += pieces[random() % pieces.size()];
    std::string expected;
    for (size_t idx = 0; idx < text.size(); ++idx) {
      if (text[idx] != '\r') {
        expected += text[idx];
      } else {
        expected += '\n';
        if (idx + 1 < text.size() && text[idx + 1] == '\n') ++idx;
      }
    }
    ASSERT_EQ(base::decode_text_file(text), expected);
  }
  EXPECT_EQ(base::decode_text_file(std::string(100, 'x') + "\r\n"), std::string(100, 'x') + "\n");
  EXPECT_EQ(base::decode_text_file("caf\xc3\xa9 \xf0\x9f\x98\x80\r"), "caf\xc3\xa9 \xf0\x9f\x98\x80\n");
}

TEST(DecodeTextFile, RefusesInvalidUtf8WithThePosition) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"ab\xff", "can't decode byte 0xff in position 2: invalid start byte"},
      {"\xc0\x80", "byte 0xc0 in position 0: invalid start byte"},
      {"xx\xe2\x82", "byte 0xe2 in position 2: unexpected end of data"},
      {"\xed\xa0\x80", "byte 0xed in position 0: invalid continuation byte"},
      {"\xf4\x90\x80\x80", "byte 0xf4 in position 0: invalid continuation byte"},
      {"12345678\xe9t\xe9", "byte 0xe9 in position 8: invalid continuation byte"},
      {"\r\n\r\nx\xff", "byte 0xff in position 5: invalid start byte"},
  };
  for (const auto& [bytes, message] : cases) {
    try {
      base::decode_text_file(bytes);
      ADD_FAILURE() << "no error";
    } catch (const base::UnicodeDecodeError& error) {
      EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
      EXPECT_EQ(std::string(error.what()).rfind("'utf-8' codec ", 0), 0u);
    }
  }
}

}  // namespace
}  // namespace velko::middleware::skills
