// Skill discovery: finding skill packages in a skills root, reading their front matter,
// and the skills-list text of the system prompt.
//
// A skill is a directory holding a SKILL.md that opens with a YAML front matter giving
// the skill's `name` and `description`. A skills root holds the user's skills directly,
// and the default skills in its subdirectory "default" (itself a root, scanned second).
// A bad skill never stops discovery: it is skipped, with a warning on the logger
// "velko.middleware.skills" for the cases named below.
//
// Thread-safe: no shared mutable state (the logger is thread-safe).
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/json.h"

namespace velko::middleware::skills {

inline constexpr const char* LOGGER_NAME = "velko.middleware.skills";

// A larger SKILL.md is skipped ("Skipping %s: file too large"); one of exactly this size
// is read.
inline constexpr size_t MAX_SKILL_FILE_SIZE = 10485760;
// A longer description is cut to its first this many characters (code points).
inline constexpr size_t MAX_SKILL_DESCRIPTION_LENGTH = 1024;
// Published with the others; discovery keeps names of any length whole.
inline constexpr size_t MAX_SKILL_NAME_LENGTH = 64;

// One skill. Every field may be absent; discovery sets name, description and path
// (content is for other producers).
struct SkillMetadata {
  std::optional<std::string> name;
  std::optional<std::string> description;
  std::optional<std::string> path;
  std::optional<std::string> content;

  bool operator==(const SkillMetadata&) const = default;
};

// {"name": ..., "description": ..., "path": ..., "content": ...} with the present fields.
Json to_json(const SkillMetadata& skill);
// The record of a JSON object: text fields are taken, others ignored.
SkillMetadata skill_metadata_from_json(const Json& value);
Json to_json(const std::vector<SkillMetadata>& skills);
// The records of a JSON array (anything else gives an empty list).
std::vector<SkillMetadata> skills_from_json(const Json& value);

// The user's skills root: the home directory / ".velko" / "skills" (evaluated per call).
std::filesystem::path SKILLS_DIR();

// True when `path`, with every link followed, is `base_dir` (links followed) or lies
// inside it by whole path components. Paths that do not exist resolve as far as they
// can. False when resolving fails (a link loop, an operating-system error).
bool _is_safe_path(const std::filesystem::path& path, const std::filesystem::path& base_dir);

// The record of one SKILL.md, or nullopt when it is skipped. Logs (with the path):
//   "Skipping %s: file too large"              larger than MAX_SKILL_FILE_SIZE
//   "Skipping %s: no YAML frontmatter"         the text does not open with a front matter
//   "Skipping %s: missing name or description" either absent or empty (0, false, "", ...)
//   "Error reading %s: %s"                     unreadable, not a regular file, not UTF-8,
//                                              or a front matter YAML cannot read
// A front matter that is not a mapping is skipped without a warning. The description is
// cut to MAX_SKILL_DESCRIPTION_LENGTH characters after conversion to text. `path` is the
// text of `skill_md_path` as passed in.
std::optional<SkillMetadata> _parse_skill_metadata(const std::filesystem::path& skill_md_path);

// The valid skills directly under `skills_dir` (never under its "default"), in directory
// order: directories (links followed) that resolve inside the root, hold a SKILL.md that
// also resolves inside it, and parse. A missing or unresolvable root gives an empty list;
// a root that exists but cannot be listed throws the OSError kind.
std::vector<SkillMetadata> _list_skills_from_dir(const std::filesystem::path& skills_dir);

// The skills of `skills_dir` followed by those of its "default" subdirectory.
std::vector<SkillMetadata> _list_skills(const std::filesystem::path& skills_dir);

// Two lines per skill, "- **{name}**: {description}" and "  -> `{path}`", joined by line
// feeds, each field shown by base::printable_text on one line (its line feeds become
// spaces, control characters U+FFFD), so no skill file can start a section of the
// prompt or send a terminal escape sequence; for no skills "(No skills available. Create user skills in
// ~/.velko/skills/)".
std::string _format_skills_list(const std::vector<SkillMetadata>& skills);

// The text of a path the way the skills module writes paths: repeated separators and "."
// components removed, no trailing separator.
std::string path_text(const std::filesystem::path& path);

}  // namespace velko::middleware::skills
