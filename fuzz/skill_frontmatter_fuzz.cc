// libFuzzer target for the SKILL.md front-matter reader: the text decoding, the
// hand-written front-matter match, the safe YAML load and the bounded conversion to
// text, the shortcut for simple front matter against the YAML parser; and for the generated SKILL.md of custom skills,
// which must read back the fields it was given.
//
// Input: the first byte chooses the mode. Even: the rest is the bytes of a SKILL.md.
// Odd: the rest is "name\0description" (both must be valid UTF-8), written with
// _build_custom_skill_md and read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "velko/base/errors.h"
#include "velko/base/utf8.h"
#include "velko/middleware/skills/custom_skill.h"
#include "velko/middleware/skills/frontmatter.h"

namespace skills = velko::middleware::skills;

namespace {

constexpr size_t kMaxDescription = 1024;
constexpr size_t kMaxName = 10485760;

void check(bool condition) {
  if (!condition) std::abort();
}

void read_skill_md(std::string_view bytes) {
  std::string text;
  try {
    text = velko::base::decode_text_file(std::string(bytes));
  } catch (const velko::base::UnicodeDecodeError&) {
    return;
  }
  check(text.find('\r') == std::string::npos);
  std::optional<std::string_view> group = skills::match_front_matter(text);
  if (group) {
    // The group lies inside the text, after an opening line, before a closing "\n---".
    size_t start = static_cast<size_t>(group->data() - text.data());
    check(start >= 4 && start + group->size() + 4 <= text.size());
    check(text.compare(0, 3, "---") == 0 && text[start - 1] == '\n');
    check(text.compare(start + group->size(), 4, "\n---") == 0);
  }
  // The shortcut for simple front matter gives exactly what the YAML parser gives.
  std::optional<skills::FrontMatterFields> fields;
  std::optional<skills::FrontMatterFields> reference;
  try {
    fields = skills::read_front_matter(text, kMaxDescription, kMaxName);
  } catch (const skills::YAMLError&) {
    check(group.has_value());
  }
  try {
    reference = skills::read_front_matter_with_parser(text, kMaxDescription, kMaxName);
  } catch (const skills::YAMLError&) {
  }
  check(fields.has_value() == reference.has_value());
  if (!fields) return;
  check(*fields == *reference);
  check(fields->status != skills::FrontMatterFields::Status::kNoFrontMatter || !group);
  if (fields->status == skills::FrontMatterFields::Status::kOk) {
    check(!fields->name.empty() && !fields->description.empty());
    check(velko::base::is_valid_utf8(fields->name) && velko::base::is_valid_utf8(fields->description));
    check(velko::base::count_code_points(fields->description) <= kMaxDescription);
  }
}

void round_trip_custom_skill(std::string_view bytes) {
  size_t split = bytes.find('\0');
  if (split == std::string_view::npos) return;
  std::string name(bytes.substr(0, split));
  std::string description(bytes.substr(split + 1));
  if (name.empty() || description.empty()) return;
  if (!velko::base::is_valid_utf8(name) || !velko::base::is_valid_utf8(description)) return;
  if (name.find('\0') != std::string::npos || description.find('\0') != std::string::npos) return;
  std::string text = skills::_build_custom_skill_md(name, description, "Body.");
  skills::FrontMatterFields fields =
      skills::read_front_matter(text, std::numeric_limits<size_t>::max(), kMaxName);  // must not throw
  check(fields.status == skills::FrontMatterFields::Status::kOk);
  check(fields.name == name);
  check(fields.description == description);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    read_skill_md(bytes);
  } else {
    round_trip_custom_skill(bytes);
  }
  return 0;
}
