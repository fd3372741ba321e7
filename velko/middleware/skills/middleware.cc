#include "velko/middleware/skills/middleware.h"

#include <cstdio>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/logging.h"
#include "velko/base/utf8.h"
#include "velko/host/config.h"
#include "velko/middleware/skills/frontmatter.h"
#include "velko/platform/sandbox/sandbox.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::skills {
namespace fs = std::filesystem;

const std::string SKILLS_SYSTEM_PROMPT = R"(
## Skills

You have access to a skills library:
- Default skills: `~/.velko/skills/default/`
- User skills: `~/.velko/skills/`

**Available Skills:**

{skills_list}

**How to Use Skills:**

1. Check if user's task matches a skill's description
2. Read the skill's SKILL.md using `read_file` for full instructions
3. Follow the skill's workflow

Skills are self-documenting - each SKILL.md contains step-by-step instructions.
)";

namespace {

constexpr std::string_view kPlaceholder = "{skills_list}";

const base::Logger& logger() { return base::get_logger(LOGGER_NAME); }

std::string field_text(const Json& skill, const char* key) {
  auto found = skill.find(key);
  if (found == skill.end() || found->is_null()) return "";
  if (found->is_string()) return found->get<std::string>();
  return base::dumps(*found);
}

}  // namespace

std::string _build_skills_section(const std::vector<SkillMetadata>& skills) {
  static const size_t at = SKILLS_SYSTEM_PROMPT.find(kPlaceholder);
  std::string section = SKILLS_SYSTEM_PROMPT.substr(0, at);
  section += _format_skills_list(skills);
  section += SKILLS_SYSTEM_PROMPT.substr(at + kPlaceholder.size());
  return section;
}

SkillsMiddleware::SkillsMiddleware(std::string mode, std::shared_ptr<host::BackendProtocol> backend,
                                   std::optional<fs::path> skills_dir, fs::path listing_dir)
    : mode_(base::parse_run_mode(mode)),
      backend_(std::move(backend)),
      skills_dir_(skills_dir ? std::move(*skills_dir) : SKILLS_DIR()),
      listing_dir_(std::move(listing_dir)) {}

void SkillsMiddleware::_copy_skills_to_sandbox() const {
  if (!backend_ || !backend_->has_id()) return;
  const fs::path bundled = BUNDLED_SKILLS_DIR();
  std::error_code ec;
  if (!fs::is_directory(bundled, ec)) return;
  auto sandbox = platform::sandbox::connect(backend_->id(), host::SANDBOX_TIMEOUT_SECONDS);

  std::vector<std::pair<std::string, std::string>> files;
  fs::directory_iterator top(bundled, ec);
  if (ec) base::throw_os_error(ec.value(), "scandir", bundled);
  for (; top != fs::directory_iterator(); top.increment(ec)) {
    if (ec) base::throw_os_error(ec.value(), "scandir", bundled);
    const fs::path& skill = top->path();
    std::error_code type_ec;
    if (!top->is_directory(type_ec) || type_ec) continue;
    if (skill.filename().string().starts_with('_')) continue;
    fs::recursive_directory_iterator walk(skill, ec);
    if (ec) base::throw_os_error(ec.value(), "scandir", skill);
    for (; walk != fs::recursive_directory_iterator(); walk.increment(ec)) {
      if (ec) base::throw_os_error(ec.value(), "scandir", skill);
      if (!walk->is_regular_file(type_ec) || type_ec) continue;
      std::string relative = walk->path().lexically_relative(bundled).generic_string();
      files.emplace_back(std::string(SANDBOX_DEFAULT_SKILLS_DIR) + "/" + relative, base::read_file(walk->path()));
    }
  }
  if (ec) base::throw_os_error(ec.value(), "scandir", bundled);
  for (const auto& [path, data] : files) sandbox->files().write(path, data);
}

void SkillsMiddleware::_copy_custom_skills_to_sandbox(const Json& skill_ids) const {
  if (skill_ids.empty() || !backend_ || !backend_->has_id()) return;
  Json skills = platform::services::get_skills_by_ids(skill_ids);
  if (!skills.is_array() || skills.empty()) return;
  auto sandbox = platform::sandbox::connect(backend_->id(), host::SANDBOX_TIMEOUT_SECONDS);
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& skill : skills) {
    if (!skill.is_object()) {
      logger().warning("Skipping custom skill " + base::dumps(skill) + ": not a skill record");
      continue;
    }
    std::string name = field_text(skill, "name");
    if (!_is_safe_skill_name(name)) {
      logger().warning("Skipping custom skill " + python_repr(name) + ": its name is not a single directory name");
      continue;
    }
    files.emplace_back(std::string(SANDBOX_SKILLS_DIR) + "/" + name + "/SKILL.md",
                       _build_custom_skill_md(name, field_text(skill, "description"), field_text(skill, "content")));
  }
  for (const auto& [path, text] : files) sandbox->files().write(path, text);
}

std::vector<SkillMetadata> SkillsMiddleware::list_sandbox_skills() const {
  std::optional<std::filesystem::path> local;
  if (backend_ && backend_->has_id()) local = backend_->local_directory(SANDBOX_SKILLS_DIR);
  if (!local) return _list_skills(listing_dir_);
  // The files are on this machine under the sandbox's own directory: list them there and
  // name them as the agent's commands see them.
  std::vector<SkillMetadata> skills = _list_skills(*local);
  const std::string prefix = local->string() + "/";
  for (SkillMetadata& skill : skills) {
    if (skill.path && skill.path->starts_with(prefix)) {
      skill.path = std::string(SANDBOX_SKILLS_DIR) + "/" + skill.path->substr(prefix.size());
    }
  }
  return skills;
}

host::StateUpdate SkillsMiddleware::before_agent(const Json&, const host::Runtime&) {
  std::vector<SkillMetadata> skills;
  if (mode_ == base::RunMode::kWeb) {
    _copy_skills_to_sandbox();
    Json configurable = host::get_configurable();
    Json skill_ids = Json::array();
    if (auto found = configurable.find("skill_ids"); found != configurable.end()) skill_ids = *found;
    if (!skill_ids.is_array()) {
      throw base::TypeError("skill_ids must be a list of skill identifiers, not " + std::string(skill_ids.type_name()));
    }
    _copy_custom_skills_to_sandbox(skill_ids);
    skills = list_sandbox_skills();
  } else {
    platform::skills_loader::copy_default_skills();
    skills = _list_skills(skills_dir_);
  }
  if (skills.empty()) return std::nullopt;
  Json update = Json::object();
  update[SKILLS_METADATA_KEY] = to_json(skills);
  return update;
}

std::future<host::StateUpdate> SkillsMiddleware::abefore_agent(const Json& state, const host::Runtime& runtime) {
  return host::run_on_worker([this, state, runtime] { return before_agent(state, runtime); });
}

host::ModelRequest SkillsMiddleware::with_skills_section(const host::ModelRequest& request) const {
  std::vector<SkillMetadata> skills;
  const Json& state = request.state();
  if (state.is_object()) {
    if (auto found = state.find(SKILLS_METADATA_KEY); found != state.end()) skills = skills_from_json(*found);
  }
  std::string section = _build_skills_section(skills);
  std::string prompt = request.system_prompt_text();
  return request.override_system_prompt(prompt.empty() ? section : prompt + "\n\n" + section);
}

}  // namespace velko::middleware::skills
