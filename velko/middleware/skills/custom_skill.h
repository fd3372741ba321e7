// The SKILL.md written into the sandbox for a skill selected from the hosted service.
// Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace velko::middleware::skills {

// Whether a custom skill's name can be a directory of its own in the sandbox: one path
// component, not empty, ".", ".." or "default" (the shipped skills' directory), without
// "/" or NUL.
bool _is_safe_skill_name(std::string_view name);

// The generated SKILL.md of a custom skill:
//   "---\nname: {name}\ndescription: {description}\n---\n\n{content}\n"
// with the fields inserted as they are when the front matter then reads back exactly
// these values; a field that would read back differently (a ": " in a description, a
// leading quote, a line break, ...) is written as a YAML double-quoted string instead,
// so no selected skill is lost to its own punctuation.
std::string _build_custom_skill_md(const std::string& name, const std::string& description, const std::string& content);

}  // namespace velko::middleware::skills
