// SkillsMiddleware: makes skills available to the agent.
//
// Once per invocation (before_agent) it makes sure the skill files are where the agent
// can read them and records the list of skills in the agent state under
// "skills_metadata"; around every model call it appends the "Skills" section with that
// list to the system prompt. In cli mode the shipped skills are copied into the user's
// root (~/.velko/skills/default) and the user's root is listed. In web mode the shipped
// skills and the skills the user selected for the run (run configuration
// configurable.skill_ids, fetched from the hosted skills service) are first written into
// the sandbox of the backend, under /home/user/.velko/skills.
//
// The middleware holds only values fixed at construction and keeps no cache: one
// instance serves concurrent invocations. Errors of the outside components (sandbox,
// hosted service, run configuration, the copy of the shipped skills) propagate out of
// before_agent; single bad skill packages never do.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "velko/base/json.h"
#include "velko/base/run_mode.h"
#include "velko/host/backend.h"
#include "velko/host/middleware.h"
#include "velko/middleware/skills/custom_skill.h"
#include "velko/middleware/skills/discovery.h"
#include "velko/platform/skills_loader/loader.h"

namespace velko::middleware::skills {

// The agent-state key this middleware declares.
inline constexpr const char* SKILLS_METADATA_KEY = "skills_metadata";

// Where web mode writes skills in the sandbox, and the root it then lists.
inline constexpr const char* SANDBOX_SKILLS_DIR = "/home/user/.velko/skills";
inline constexpr const char* SANDBOX_DEFAULT_SKILLS_DIR = "/home/user/.velko/skills/default";

// The directory of the skills shipped with the product.
using platform::skills_loader::BUNDLED_SKILLS_DIR;

// The section template; {skills_list} stands for the text of _format_skills_list.
extern const std::string SKILLS_SYSTEM_PROMPT;

// The "Skills" section for `skills`.
std::string _build_skills_section(const std::vector<SkillMetadata>& skills);

class SkillsMiddleware : public host::RequestRewritingMiddleware {
 public:
  // mode: "cli" or "web" (ValueError for any other text). backend: the sandbox web mode
  // writes into (may be null).
  // skills_dir: the user's root for cli mode (default SKILLS_DIR()). listing_dir: the
  // root web mode lists after copying, on the local file system (SANDBOX_SKILLS_DIR by
  // default; a deployment that sees the sandbox's home elsewhere points it there). When
  // the backend keeps its files on this machine (host::BackendProtocol::local_directory),
  // web mode lists SANDBOX_SKILLS_DIR where the backend put it instead, with each skill's
  // path as the sandbox sees it.
  explicit SkillsMiddleware(std::string mode = "web", std::shared_ptr<host::BackendProtocol> backend = nullptr,
                            std::optional<std::filesystem::path> skills_dir = std::nullopt,
                            std::filesystem::path listing_dir = SANDBOX_SKILLS_DIR);

  std::string name() const override { return "SkillsMiddleware"; }
  std::vector<std::string> state_schema() const override { return {SKILLS_METADATA_KEY}; }

  std::string mode() const { return base::run_mode_name(mode_); }
  const std::shared_ptr<host::BackendProtocol>& backend() const { return backend_; }
  const std::filesystem::path& skills_dir() const { return skills_dir_; }

  // Writes every regular file of every shipped skill (directories directly inside
  // BUNDLED_SKILLS_DIR() whose name does not begin with "_") to
  // SANDBOX_DEFAULT_SKILLS_DIR + "/" + its path relative to BUNDLED_SKILLS_DIR(). Does
  // nothing without a backend that has an id, or when the shipped directory is missing.
  void _copy_skills_to_sandbox() const;
  // Fetches the skills of `skill_ids` (a JSON array) and writes each one's generated
  // SKILL.md to SANDBOX_SKILLS_DIR/{name}/SKILL.md. Does nothing for an empty list or
  // without a backend that has an id. A skill whose name is not safe (see
  // _is_safe_skill_name) is skipped with the warning "Skipping custom skill {name!r}:
  // its name is not a single directory name".
  void _copy_custom_skills_to_sandbox(const Json& skill_ids) const;

  // Returns {"skills_metadata": [...]} when skills were found, else no update. A
  // configurable.skill_ids that is not a list throws TypeError.
  host::StateUpdate before_agent(const Json& state, const host::Runtime& runtime) override;
  // before_agent on a worker thread (the run configuration goes with it).
  std::future<host::StateUpdate> abefore_agent(const Json& state, const host::Runtime& runtime) override;

  // The request with the section appended: prompt + "\n\n" + section, or the section
  // alone when the prompt is absent or empty.
  host::ModelRequest with_skills_section(const host::ModelRequest& request) const;

 protected:
  // The model calls see with_skills_section(request).
  host::ModelRequest rewrite_request(const host::ModelRequest& request) const override {
    return with_skills_section(request);
  }

 private:
  std::vector<SkillMetadata> list_sandbox_skills() const;

  const base::RunMode mode_;
  const std::shared_ptr<host::BackendProtocol> backend_;
  const std::filesystem::path skills_dir_;
  const std::filesystem::path listing_dir_;
};

}  // namespace velko::middleware::skills
