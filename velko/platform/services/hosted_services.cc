#include "velko/platform/services/hosted_services.h"

#include "velko/base/errors.h"
#include "velko/base/files.h"

namespace velko::platform::services {
namespace {

// The process-wide services slot: empty until the product or a test (ScopedHostedServices)
// fills it, kept until replaced. Readers take a shared_ptr copy under slot_mu.
std::mutex slot_mu;
std::shared_ptr<HostedServices> slot;  // guarded by slot_mu

std::shared_ptr<HostedServices> require(const char* component) {
  auto services = hosted_services();
  if (!services) throw base::ModuleNotFoundError(std::string("No module named '") + component + "'");
  return services;
}

Json read_object(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return Json::object();
  Json document;
  try {
    document = base::loads(base::read_file(path));
  } catch (const base::ValueError&) {
    throw base::ValueError(path.string() + " is not valid JSON");
  }
  if (!document.is_object()) throw base::ValueError(path.string() + " is not a JSON object");
  return document;
}

}  // namespace

std::shared_ptr<HostedServices> set_hosted_services(std::shared_ptr<HostedServices> services) {
  std::lock_guard lock(slot_mu);
  std::swap(slot, services);
  return services;
}

std::shared_ptr<HostedServices> hosted_services() {
  std::lock_guard lock(slot_mu);
  return slot;
}

Json get_database_config(const std::string& connection_id) {
  return require("backend.services.databases")->get_database_config(connection_id);
}
Json get_skills_by_ids(const Json& skill_ids) {
  return require("backend.services.skills")->get_skills_by_ids(skill_ids);
}
Json get_env_vars_by_ids(const Json& env_var_ids) {
  return require("backend.services.environment_variables")->get_env_vars_by_ids(env_var_ids);
}

InMemoryServices::InMemoryServices(Json databases, Json skills, Json env_vars)
    : databases_(std::move(databases)), skills_(std::move(skills)), env_vars_(std::move(env_vars)) {}

int InMemoryServices::calls(const std::string& operation) const {
  std::lock_guard lock(mu_);
  auto found = calls_.find(operation);
  return found == calls_.end() ? 0 : found->second;
}

Json InMemoryServices::get_database_config(const std::string& connection_id) {
  {
    std::lock_guard lock(mu_);
    ++calls_["get_database_config"];
  }
  if (!databases_.is_object()) return nullptr;
  auto found = databases_.find(connection_id);
  return found == databases_.end() ? Json(nullptr) : *found;
}

Json InMemoryServices::get_skills_by_ids(const Json& skill_ids) {
  {
    std::lock_guard lock(mu_);
    ++calls_["get_skills_by_ids"];
  }
  if (!skill_ids.is_array()) throw base::TypeError("skill_ids must be a list");
  Json out = Json::array();
  for (const auto& id : skill_ids) {
    if (!id.is_string() || !skills_.is_object()) continue;
    auto found = skills_.find(id.get<std::string>());
    if (found != skills_.end()) out.push_back(*found);
  }
  return out;
}

Json InMemoryServices::get_env_vars_by_ids(const Json& env_var_ids) {
  {
    std::lock_guard lock(mu_);
    ++calls_["get_env_vars_by_ids"];
  }
  if (!env_var_ids.is_array()) throw base::TypeError("env_var_ids must be a list");
  Json out = Json::object();
  for (const auto& id : env_var_ids) {
    if (!id.is_string() || !env_vars_.is_object()) continue;
    auto found = env_vars_.find(id.get<std::string>());
    if (found == env_vars_.end() || !found->is_object()) continue;
    out[found->value("name", "")] = found->value("value", "");
  }
  return out;
}

std::shared_ptr<InMemoryServices> load_services_dir(const std::filesystem::path& dir) {
  return std::make_shared<InMemoryServices>(read_object(dir / "databases.json"), read_object(dir / "skills.json"),
                                            read_object(dir / "env_vars.json"));
}

}  // namespace velko::platform::services
