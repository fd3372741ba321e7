// The skills, Airflow and AWS middlewares as the product assembles them: loaded as
// plug-ins, run by the host's agent, with the skills shipped in the repository and, in
// web mode, the local sandbox.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "tests/support/temp_dir.h"
#include "velko/base/env.h"
#include "velko/base/logging.h"
#include "velko/host/agent.h"
#include "velko/host/plugin.h"
#include "velko/middleware/airflow/middleware.h"
#include "velko/middleware/aws/middleware.h"
#include "velko/middleware/skills/discovery.h"
#include "velko/middleware/skills/middleware.h"
#include "velko/platform/sandbox/e2b_backend.h"
#include "velko/platform/services/hosted_services.h"

namespace velko {
namespace {
namespace fs = std::filesystem;
namespace skills = middleware::skills;

std::string source_dir() {
  auto dir = base::getenv_opt("VELKO_SOURCE_DIR");
  return dir ? *dir : std::string(VELKO_TEST_SOURCE_DIR);
}
std::string binary_dir() {
  auto dir = base::getenv_opt("VELKO_BINARY_DIR");
  return dir ? *dir : std::string(VELKO_TEST_BINARY_DIR);
}

const std::set<std::string> kSqlTools = {"execute_sql_query", "list_schemas_tool", "list_tables_tool",
                                         "get_table_columns_tool", "generate_charts"};

// Every skill shipped in the repository is one the agent will list: its front matter
// parses without a warning, its name is its directory's name, and its instructions use
// the agent's real tools.
TEST(ShippedSkills, AreValidAndUseTheAgentsTools) {
  base::ScopedLogCapture capture;
  fs::path root = fs::path(source_dir()) / "skills";
  std::vector<skills::SkillMetadata> found = skills::_list_skills_from_dir(root);
  EXPECT_GE(found.size(), 2u);
  EXPECT_TRUE(capture.sink().messages(skills::LOGGER_NAME, base::LogLevel::kWarning).empty());
  size_t directories = 0;
  for (const auto& entry : fs::directory_iterator(root)) directories += entry.is_directory() ? 1 : 0;
  EXPECT_EQ(found.size(), directories);
  for (const auto& skill : found) {
    fs::path path(*skill.path);
    EXPECT_EQ(*skill.name, path.parent_path().filename().string());
    EXPECT_GE(skill.description->size(), 40u) << *skill.name;
    EXPECT_LE(skill.name->size(), skills::MAX_SKILL_NAME_LENGTH);
    std::ifstream in(path);
    std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t tools_named = 0;
    for (const auto& tool : kSqlTools) tools_named += body.find("`" + tool + "`") != std::string::npos ? 1 : 0;
    EXPECT_GE(tools_named, 2u) << *skill.name;
  }
}

using testing::TempDir;

class SkillsAgentTest : public ::testing::Test {
 protected:
  SkillsAgentTest()
      : plugin_path_("VELKO_PLUGIN_PATH", binary_dir() + "/plugins"),
        home_("HOME", (temp_.path() / "home").string()),
        bundled_("VELKO_SKILLS_DIR", (fs::path(source_dir()) / "skills").string()),
        sandboxes_("VELKO_SANDBOX_ROOT", (temp_.path() / "sandboxes").string()),
        services_(std::make_shared<platform::services::InMemoryServices>(
            Json::object(),
            Json{{"custom",
                  {{"name", "revenue-check"},
                   {"description", "Reconcile revenue: orders vs invoices"},
                   {"content", "1. Sum orders.\n2. Sum invoices.\n3. Compare."}}}},
            Json{{"af", {{"name", "AIRFLOW_API_URL"}, {"value", "https://airflow.internal"}}},
                 {"key", {{"name", "AWS_ACCESS_KEY_ID"}, {"value", "AKIASECRETVALUE"}}},
                 {"pw", {{"name", "AIRFLOW_PASSWORD"}, {"value", "hunter2"}}}})),
        scoped_services_(services_) {}

  std::shared_ptr<host::Agent> agent(const host::MiddlewareContext& context) {
    std::vector<std::shared_ptr<host::AgentMiddleware>> middlewares;
    for (const char* name : {"skills", "airflow", "aws"}) {
      loader_.load(name);
      auto factory = registry_.middleware(name);
      EXPECT_TRUE(factory.has_value()) << name;
      middlewares.push_back((*factory)(context));
    }
    return std::make_shared<host::Agent>(middlewares, nullptr, "You are a data engineer.");
  }

  TempDir temp_;
  base::ScopedEnv plugin_path_;
  base::ScopedEnv home_;
  base::ScopedEnv bundled_;
  base::ScopedEnv sandboxes_;
  base::ScopedEnv airflow_url_{"AIRFLOW_API_URL", std::nullopt};
  base::ScopedEnv airflow_token_{"AIRFLOW_AUTH_TOKEN", std::nullopt};
  base::ScopedEnv airflow_user_{"AIRFLOW_USERNAME", std::nullopt};
  base::ScopedEnv aws_key_{"AWS_ACCESS_KEY_ID", std::nullopt};
  std::shared_ptr<platform::services::InMemoryServices> services_;
  platform::services::ScopedHostedServices scoped_services_;
  host::Registry registry_;
  host::PluginLoader loader_{registry_};
};

TEST_F(SkillsAgentTest, CliPromptListsTheUsersAndTheShippedSkillsThenTheCredentialSections) {
  fs::path user_skill = temp_.path() / "home" / ".velko" / "skills" / "weekly-report" / "SKILL.md";
  fs::create_directories(user_skill.parent_path());
  std::ofstream(user_skill) << "---\nname: weekly-report\ndescription: Build the weekly KPI report\n---\n\nSteps.\n";

  auto built = agent(host::MiddlewareContext{"cli", nullptr, std::nullopt, std::nullopt});
  Json config = {{"configurable", {{"env_var_ids", {"af", "key", "pw"}}}}};
  Json state = built->run_before_agent(Json::object(), config);
  EXPECT_EQ(state["has_airflow_env_vars"], true);
  EXPECT_EQ(state["has_aws_env_vars"], true);

  // The shipped skills were copied into ~/.velko/skills/default and listed after the user's.
  std::vector<skills::SkillMetadata> listed = skills::skills_from_json(state["skills_metadata"]);
  ASSERT_GE(listed.size(), 3u);
  EXPECT_EQ(*listed[0].name, "weekly-report");
  EXPECT_EQ(*listed[0].path, user_skill.string());
  std::set<std::string> defaults;
  for (size_t idx = 1; idx < listed.size(); ++idx) {
    EXPECT_EQ(listed[idx].path->rfind((temp_.path() / "home/.velko/skills/default").string(), 0), 0u);
    defaults.insert(*listed[idx].name);
  }
  EXPECT_TRUE(defaults.count("sql-review"));

  std::string prompt = built->system_prompt_for(state, config);
  std::string expected = "You are a data engineer.\n\n" + skills::_build_skills_section(listed) + "\n\n" +
                         middleware::airflow::AIRFLOW_SYSTEM_PROMPT + "\n" + middleware::aws::AWS_SYSTEM_PROMPT;
  EXPECT_EQ(prompt, expected);
  for (const char* secret : {"https://airflow.internal", "AKIASECRETVALUE", "hunter2"}) {
    EXPECT_EQ(prompt.find(secret), std::string::npos) << secret;
  }
  // Every later invocation with this state keeps the flags; no new service call.
  built->run_before_agent(state, config);
  EXPECT_EQ(services_->calls("get_env_vars_by_ids"), 2);  // one per middleware, first run only
}

TEST_F(SkillsAgentTest, WebModeWritesSkillsIntoTheLocalSandboxWhereTheyAreListed) {
  class Backend : public host::BaseSandbox {
   public:
    std::string id() const override { return "sandbox-1"; }
    bool has_id() const override { return true; }
    void set_id(std::string) override {}
    host::ExecuteResponse execute(const std::string&, const std::optional<host::EnvMap>&) override { return {}; }
    void set_cwd(std::string) override {}
    std::optional<std::string> get_cwd() override { return std::nullopt; }
  };
  // The local sandbox keeps /home/user of "sandbox-1" at <root>/sandbox-1: list it there.
  fs::path sandbox_home = temp_.path() / "sandboxes" / "sandbox-1";
  skills::SkillsMiddleware middleware("web", std::make_shared<Backend>(), std::nullopt,
                                      sandbox_home / ".velko" / "skills");
  host::Agent built({std::shared_ptr<host::AgentMiddleware>(&middleware, [](auto*) {})});
  Json config = {{"configurable", {{"skill_ids", {"custom"}}}}};
  Json state = built.arun_before_agent(Json::object(), config);

  fs::path custom = sandbox_home / ".velko" / "skills" / "revenue-check" / "SKILL.md";
  ASSERT_TRUE(fs::exists(custom));
  std::vector<skills::SkillMetadata> listed = skills::skills_from_json(state["skills_metadata"]);
  std::set<std::string> names;
  for (const auto& skill : listed) names.insert(*skill.name);
  EXPECT_TRUE(names.count("revenue-check"));
  EXPECT_TRUE(names.count("sql-review"));
  EXPECT_TRUE(names.count("table-profiling"));
  EXPECT_TRUE(fs::exists(sandbox_home / ".velko" / "skills" / "default" / "sql-review" / "SKILL.md"));
  for (const auto& skill : listed) {
    if (*skill.name == "revenue-check") {
      EXPECT_EQ(*skill.description, "Reconcile revenue: orders vs invoices");
    }
  }
}

// The product's own web set-up: the sandbox backend on the local sandbox, the default
// listing root. The skills are listed from where the sandbox keeps them and named as its
// commands see them; a link planted in the sandbox that leads out of it lists nothing.
TEST_F(SkillsAgentTest, WebModeOnTheLocalSandboxListsWhatTheBackendWroteByItsSandboxPaths) {
  fs::path sandbox_home = temp_.path() / "sandboxes" / "sandbox-2";
  fs::path outside = temp_.path() / "outside" / "planted";
  fs::create_directories(outside);
  std::ofstream(outside / "SKILL.md") << "---\nname: planted\ndescription: Read from outside the sandbox\n---\n";
  fs::create_directories(sandbox_home / ".velko" / "skills");
  fs::create_symlink("../../../outside/planted", sandbox_home / ".velko" / "skills" / "planted");

  auto backend = std::make_shared<platform::sandbox::E2BBackend>();
  backend->set_id("sandbox-2");
  auto built = agent(host::MiddlewareContext{"web", backend, std::nullopt, std::nullopt});
  Json config = {{"configurable", {{"skill_ids", {"custom"}}}}};
  Json state = built->run_before_agent(Json::object(), config);

  std::map<std::string, std::string> paths;
  for (const auto& skill : skills::skills_from_json(state["skills_metadata"])) paths[*skill.name] = *skill.path;
  EXPECT_EQ(paths["revenue-check"], "/home/user/.velko/skills/revenue-check/SKILL.md");
  EXPECT_EQ(paths["sql-review"], "/home/user/.velko/skills/default/sql-review/SKILL.md");
  EXPECT_EQ(paths.count("planted"), 0u);
  EXPECT_TRUE(fs::exists(sandbox_home / ".velko" / "skills" / "revenue-check" / "SKILL.md"));
  // The prompt names the files where the agent's commands find them.
  std::string prompt = built->system_prompt_for(state, config);
  EXPECT_NE(prompt.find("/home/user/.velko/skills/revenue-check/SKILL.md"), std::string::npos) << prompt;
  EXPECT_EQ(prompt.find(sandbox_home.string()), std::string::npos);

  // A sandbox whose skills root is itself a link out of it: the copy is refused and nothing
  // outside is listed.
  fs::path trapped = temp_.path() / "sandboxes" / "sandbox-3";
  fs::create_directories(trapped / ".velko");
  fs::create_symlink(temp_.path() / "outside", trapped / ".velko" / "skills");
  backend->set_id("sandbox-3");
  try {
    built->run_before_agent(Json::object(), config);
    ADD_FAILURE() << "the copy through a link out of the sandbox was not refused";
  } catch (const std::exception& error) {
    EXPECT_NE(std::string(error.what()).find("outside /home/user"), std::string::npos) << error.what();
  }
  EXPECT_FALSE(fs::exists(temp_.path() / "outside" / "default"));
}

}  // namespace
}  // namespace velko
