// The hosted service's back end: stored database configurations, the user's selected
// skills and stored environment variables, each looked up by identifier.
//
// The process has one slot for it, empty in a command-line installation. The free
// functions below use the slot; with the slot empty they throw ModuleNotFoundError naming
// the missing component, an ordinary error that callers turn into their error text.
// set_hosted_services / hosted_services are thread-safe; implementations must be too.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "velko/base/json.h"

namespace velko::platform::services {

class HostedServices {
 public:
  virtual ~HostedServices() = default;
  // The DatabaseConfig object of `connection_id`, or null when there is none. May throw.
  virtual Json get_database_config(const std::string& connection_id) = 0;
  // The skills of `skill_ids` (an array of text), each {"name", "description", "content"}.
  virtual Json get_skills_by_ids(const Json& skill_ids) = 0;
  // Variable name -> value for `env_var_ids` (an array of text).
  virtual Json get_env_vars_by_ids(const Json& env_var_ids) = 0;
};

// Fills (or with nullptr empties) the slot; returns the previous occupant.
std::shared_ptr<HostedServices> set_hosted_services(std::shared_ptr<HostedServices> services);
std::shared_ptr<HostedServices> hosted_services();

Json get_database_config(const std::string& connection_id);
Json get_skills_by_ids(const Json& skill_ids);
Json get_env_vars_by_ids(const Json& env_var_ids);

// An implementation over JSON objects held in memory, for tests and the command line:
//   databases: {"<id>": {DatabaseConfig}}, skills: {"<id>": {"name", ...}},
//   env_vars:  {"<id>": {"name": "AWS_ACCESS_KEY_ID", "value": "..."}}
// Unknown identifiers are skipped. Counts calls so tests can see whether it was asked.
class InMemoryServices : public HostedServices {
 public:
  InMemoryServices(Json databases, Json skills, Json env_vars);
  Json get_database_config(const std::string& connection_id) override;
  Json get_skills_by_ids(const Json& skill_ids) override;
  Json get_env_vars_by_ids(const Json& env_var_ids) override;
  int calls(const std::string& operation) const;

 private:
  const Json databases_, skills_, env_vars_;
  mutable std::mutex mu_;
  std::map<std::string, int> calls_;  // guarded by mu_
};

// Reads databases.json, skills.json and env_vars.json (each optional) from `dir`.
// Throws ValueError when a file is not a JSON object.
std::shared_ptr<InMemoryServices> load_services_dir(const std::filesystem::path& dir);

// Fills the slot while in scope, then restores what was there (tests).
class ScopedHostedServices {
 public:
  explicit ScopedHostedServices(std::shared_ptr<HostedServices> services)
      : previous_(set_hosted_services(std::move(services))) {}
  ~ScopedHostedServices() { set_hosted_services(previous_); }
  ScopedHostedServices(const ScopedHostedServices&) = delete;
  ScopedHostedServices& operator=(const ScopedHostedServices&) = delete;

 private:
  std::shared_ptr<HostedServices> previous_;
};

}  // namespace velko::platform::services
