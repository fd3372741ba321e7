#include "velko/middleware/skills/middleware.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/temp_dir.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/logging.h"
#include "velko/host/config.h"
#include "velko/middleware/skills/frontmatter.h"
#include "velko/platform/sandbox/sandbox.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::skills {
namespace {
namespace fs = std::filesystem;
namespace sandbox = platform::sandbox;
namespace services = platform::services;

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string skill_md(const std::string& name, const std::string& description) {
  return "---\nname: " + name + "\ndescription: " + description + "\n---\n\nSteps.\n";
}

fs::path testdata(const std::string& name) {
  if (auto source = base::getenv_opt("VELKO_SOURCE_DIR")) {
    return fs::path(*source) / "velko/middleware/skills/testdata" / name;
  }
  return fs::path(__FILE__).parent_path() / "testdata" / name;
}

// A sandbox that records what is written into it, and on which thread.
struct Recorder {
  std::mutex mu;
  std::vector<std::pair<std::string, std::string>> writes;
  std::vector<std::string> connected;
  std::vector<std::thread::id> threads;
  bool fail_connect = false;
};

class RecordingFiles : public sandbox::SandboxFiles {
 public:
  explicit RecordingFiles(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}
  void write(const std::string& path, std::string_view data) override {
    std::lock_guard lock(recorder_->mu);
    recorder_->writes.emplace_back(path, std::string(data));
    recorder_->threads.push_back(std::this_thread::get_id());
  }
  std::string read(const std::string& path, const std::string&) override { throw base::FileNotFoundError(path); }

 private:
  std::shared_ptr<Recorder> recorder_;
};

class RecordingSandbox : public sandbox::Sandbox {
 public:
  RecordingSandbox(std::string id, std::shared_ptr<Recorder> recorder) : id_(std::move(id)), files_(recorder) {}
  const std::string& sandbox_id() const override { return id_; }
  sandbox::SandboxFiles& files() override { return files_; }
  sandbox::SandboxCommands& commands() override { throw base::RuntimeError("no commands in this fake"); }

 private:
  std::string id_;
  RecordingFiles files_;
};

class RecordingProvider : public sandbox::SandboxProvider {
 public:
  explicit RecordingProvider(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}
  std::shared_ptr<sandbox::Sandbox> connect(const std::string& id, int) override {
    std::lock_guard lock(recorder_->mu);
    if (recorder_->fail_connect) throw base::RuntimeError("sandbox " + id + " is gone");
    recorder_->connected.push_back(id);
    return std::make_shared<RecordingSandbox>(id, recorder_);
  }

 private:
  std::shared_ptr<Recorder> recorder_;
};

class FakeBackend : public host::BaseSandbox {
 public:
  explicit FakeBackend(std::optional<std::string> id) : id_(std::move(id)) {}
  std::string id() const override {
    if (!id_) throw base::ValueError("Sandbox ID not set");
    return *id_;
  }
  bool has_id() const override { return id_.has_value(); }
  void set_id(std::string id) override { id_ = std::move(id); }
  host::ExecuteResponse execute(const std::string&, const std::optional<host::EnvMap>&) override { return {}; }
  void set_cwd(std::string) override {}
  std::optional<std::string> get_cwd() override { return std::nullopt; }

 private:
  std::optional<std::string> id_;
};

using testing::TempDir;

class SkillsMiddlewareTest : public ::testing::Test {
 protected:
  SkillsMiddlewareTest()
      : home_("HOME", (temp_.path() / "home").string()),
        bundled_env_("VELKO_SKILLS_DIR", bundled().string()),
        recorder_(std::make_shared<Recorder>()),
        provider_(std::make_shared<RecordingProvider>(recorder_)),
        services_(std::make_shared<services::InMemoryServices>(
            Json::object(),
            Json{{"s1", {{"name", "churn-analysis"}, {"description", "Analyse churn"}, {"content", "Do it."}}},
                 {"s2", {{"name", "../escape"}, {"description", "bad"}, {"content", "x"}}},
                 {"s3", {{"name", "colon"}, {"description", "Profile: rows, nulls"}, {"content", "c"}}}},
            Json::object())),
        scoped_services_(services_) {
    fs::create_directories(bundled());
  }

  fs::path bundled() const { return temp_.path() / "bundled"; }
  fs::path home() const { return temp_.path() / "home"; }
  fs::path user_root() const { return home() / ".velko" / "skills"; }
  fs::path listing() const { return temp_.path() / "listing"; }

  std::string prompt_for(SkillsMiddleware& middleware, const Json& state, std::optional<std::string> prompt) {
    std::string seen;
    middleware.wrap_model_call(host::ModelRequest(state, std::move(prompt)), [&](const host::ModelRequest& request) {
      seen = request.system_prompt_text();
      return host::ModelResponse{};
    });
    return seen;
  }

  TempDir temp_;
  base::ScopedEnv home_;
  base::ScopedEnv bundled_env_;
  std::shared_ptr<Recorder> recorder_;
  std::shared_ptr<RecordingProvider> provider_;
  sandbox::ScopedSandboxProvider scoped_provider_{provider_};
  std::shared_ptr<services::InMemoryServices> services_;
  services::ScopedHostedServices scoped_services_;
  base::ScopedLogCapture capture_;
};

TEST_F(SkillsMiddlewareTest, PromptTemplateIsExact) {
  EXPECT_EQ(SKILLS_SYSTEM_PROMPT, read_all(testdata("skills_system_prompt.txt")));
}

TEST_F(SkillsMiddlewareTest, CliModeWithNoSkillsAddsTheSectionWithTheEmptyNotice) {
  SkillsMiddleware middleware("cli");
  EXPECT_EQ(middleware.skills_dir(), user_root());
  EXPECT_FALSE(middleware.before_agent(Json::object(), {}).has_value());

  std::string golden = read_all(testdata("skills_system_prompt.txt"));
  std::string section = golden.substr(0, golden.find("{skills_list}")) +
                        "(No skills available. Create user skills in ~/.velko/skills/)" +
                        golden.substr(golden.find("{skills_list}") + 13);
  EXPECT_EQ(prompt_for(middleware, Json::object(), std::nullopt), section);
  EXPECT_EQ(prompt_for(middleware, Json::object(), ""), section);
  EXPECT_EQ(prompt_for(middleware, Json::object(), "You are helpful."), "You are helpful.\n\n" + section);
}

TEST_F(SkillsMiddlewareTest, CliModeCopiesShippedSkillsAndListsUserSkillsFirst) {
  write(bundled() / "table-profiling" / "SKILL.md", skill_md("table-profiling", "Profile a table"));
  write(user_root() / "my-review" / "SKILL.md", skill_md("my-review", "My own review"));
  SkillsMiddleware middleware("cli");
  host::StateUpdate update = middleware.before_agent(Json::object(), {});
  ASSERT_TRUE(update.has_value());
  const fs::path user_md = user_root() / "my-review" / "SKILL.md";
  const fs::path default_md = user_root() / "default" / "table-profiling" / "SKILL.md";
  EXPECT_EQ(read_all(default_md), skill_md("table-profiling", "Profile a table"));
  Json expected = {
      {"skills_metadata",
       {{{"name", "my-review"}, {"description", "My own review"}, {"path", user_md.string()}},
        {{"name", "table-profiling"}, {"description", "Profile a table"}, {"path", default_md.string()}}}}};
  EXPECT_EQ(*update, expected);

  std::string prompt = prompt_for(middleware, *update, "Base.");
  EXPECT_NE(prompt.find("Base.\n\n\n## Skills\n"), std::string::npos);
  EXPECT_NE(prompt.find("**Available Skills:**\n\n- **my-review**: My own review\n  -> `" + user_md.string() +
                        "`\n- **table-profiling**: Profile a table\n  -> `" + default_md.string() +
                        "`\n\n**How to Use Skills:**"),
            std::string::npos)
      << prompt;
}

TEST_F(SkillsMiddlewareTest, WebModeCopiesShippedFilesButNotPrivateDirectories) {
  write(bundled() / "report" / "SKILL.md", skill_md("report", "Write a report"));
  write(bundled() / "report" / "templates" / "base.md", "# {title}\n");
  write(bundled() / "__pycache__" / "x.pyc", "bytes");
  write(bundled() / "_private" / "SKILL.md", skill_md("private", "hidden"));
  write(bundled() / "README.md", "not a skill directory");
  SkillsMiddleware middleware("web", std::make_shared<FakeBackend>("sb-1"), std::nullopt, listing());
  host::ConfigScope config(Json{{"configurable", {{"thread_id", "t"}}}});
  EXPECT_FALSE(middleware.before_agent(Json::object(), {}).has_value());

  std::map<std::string, std::string> written(recorder_->writes.begin(), recorder_->writes.end());
  std::map<std::string, std::string> expected = {
      {"/home/user/.velko/skills/default/report/SKILL.md", skill_md("report", "Write a report")},
      {"/home/user/.velko/skills/default/report/templates/base.md", "# {title}\n"},
  };
  EXPECT_EQ(written, expected);
  EXPECT_EQ(recorder_->connected, std::vector<std::string>{"sb-1"});
  EXPECT_EQ(services_->calls("get_skills_by_ids"), 0);
}

TEST_F(SkillsMiddlewareTest, WebModeWritesSelectedCustomSkills) {
  SkillsMiddleware middleware("web", std::make_shared<FakeBackend>("sb-2"), std::nullopt, listing());
  write(listing() / "churn-analysis" / "SKILL.md", "---\nname: churn-analysis\ndescription: Analyse churn\n---\n");
  host::ConfigScope config(Json{{"configurable", {{"skill_ids", {"s1", "s2", "s3"}}}}});
  host::StateUpdate update = middleware.before_agent(Json::object(), {});

  EXPECT_EQ(services_->calls("get_skills_by_ids"), 1);
  ASSERT_EQ(recorder_->writes.size(), 2u);
  EXPECT_EQ(recorder_->writes[0].first, "/home/user/.velko/skills/churn-analysis/SKILL.md");
  EXPECT_EQ(recorder_->writes[0].second, "---\nname: churn-analysis\ndescription: Analyse churn\n---\n\nDo it.\n");
  // A description YAML would misread is quoted, so the skill survives discovery.
  EXPECT_EQ(recorder_->writes[1].first, "/home/user/.velko/skills/colon/SKILL.md");
  EXPECT_EQ(recorder_->writes[1].second, "---\nname: colon\ndescription: \"Profile: rows, nulls\"\n---\n\nc\n");
  EXPECT_EQ(capture_.sink().messages(LOGGER_NAME, base::LogLevel::kWarning),
            std::vector<std::string>{"Skipping custom skill '../escape': its name is not a single directory name"});
  // The listing reads the configured root of the local file system.
  ASSERT_TRUE(update.has_value());
  EXPECT_EQ((*update)["skills_metadata"][0]["name"], "churn-analysis");
}

TEST_F(SkillsMiddlewareTest, WebModeWithoutASandboxCopiesNothingButStillLists) {
  write(listing() / "local" / "SKILL.md", skill_md("local", "Found locally"));
  write(bundled() / "report" / "SKILL.md", skill_md("report", "Write a report"));
  host::ConfigScope config(Json{{"configurable", {{"skill_ids", {"s1"}}}}});
  for (auto backend : {std::shared_ptr<host::BackendProtocol>(),
                       std::shared_ptr<host::BackendProtocol>(std::make_shared<FakeBackend>(std::nullopt))}) {
    SkillsMiddleware middleware("web", backend, std::nullopt, listing());
    host::StateUpdate update = middleware.before_agent(Json::object(), {});
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ((*update)["skills_metadata"][0]["name"], "local");
  }
  EXPECT_TRUE(recorder_->writes.empty());
  EXPECT_TRUE(recorder_->connected.empty());
  EXPECT_EQ(services_->calls("get_skills_by_ids"), 0);
}

TEST_F(SkillsMiddlewareTest, WebModeFailuresOfOutsideComponentsPropagate) {
  SkillsMiddleware middleware("web", std::make_shared<FakeBackend>("sb-3"), std::nullopt, listing());
  for (Json bad : {Json(nullptr), Json("s1"), Json(7), Json::object()}) {
    host::ConfigScope config(Json{{"configurable", {{"skill_ids", bad}}}});
    EXPECT_THROW(middleware.before_agent(Json::object(), {}), base::TypeError) << bad;
  }
  {
    services::ScopedHostedServices empty(nullptr);
    host::ConfigScope config(Json{{"configurable", {{"skill_ids", {"s1"}}}}});
    EXPECT_THROW(middleware.before_agent(Json::object(), {}), base::ModuleNotFoundError);
  }
  write(bundled() / "report" / "SKILL.md", skill_md("report", "Write a report"));
  recorder_->fail_connect = true;
  EXPECT_THROW(middleware.before_agent(Json::object(), {}), base::RuntimeError);
}

TEST_F(SkillsMiddlewareTest, AsyncBeforeAgentRunsOnAWorkerWithTheRunConfiguration) {
  SkillsMiddleware middleware("web", std::make_shared<FakeBackend>("sb-4"), std::nullopt, listing());
  host::ConfigScope config(Json{{"configurable", {{"skill_ids", {"s1"}}}}});
  std::future<host::StateUpdate> future = middleware.abefore_agent(Json::object(), {});
  future.get();
  ASSERT_EQ(recorder_->writes.size(), 1u);
  EXPECT_EQ(recorder_->writes[0].first, "/home/user/.velko/skills/churn-analysis/SKILL.md");
  EXPECT_NE(recorder_->threads[0], std::this_thread::get_id());
}

TEST_F(SkillsMiddlewareTest, AsyncModelCallAddsTheSameSection) {
  SkillsMiddleware middleware("cli");
  Json state = {{"skills_metadata", {{{"name", "a"}, {"description", "b"}, {"path", "/p/SKILL.md"}}}}};
  std::string seen;
  middleware
      .awrap_model_call(host::ModelRequest(state, "P"),
                        [&](const host::ModelRequest& request) {
                          seen = request.system_prompt_text();
                          return host::ready_future(host::ModelResponse{"done", {}});
                        })
      .get();
  EXPECT_EQ(seen, prompt_for(middleware, state, "P"));
  EXPECT_NE(seen.find("- **a**: b\n  -> `/p/SKILL.md`"), std::string::npos);
}

TEST(CustomSkillNames, OnlySingleDirectoryNamesAreSafe) {
  for (std::string name : {"sql-review", "a.b", "..x", "\u540d\u524d", "with space"}) {
    EXPECT_TRUE(_is_safe_skill_name(name)) << name;
  }
  for (std::string name :
       std::vector<std::string>{"", ".", "..", "a/b", "/abs", "../up", "default", std::string("nul\0x", 5)}) {
    EXPECT_FALSE(_is_safe_skill_name(name)) << name;
  }
}

// Whatever the fields hold, the generated SKILL.md reads back exactly these fields.
TEST(CustomSkillMd, ReadsBackTheFieldsItWasGiven) {
  const std::vector<std::pair<std::string, std::string>> fields = {
      {"plain", "A plain description"},
      {"colon", "Profile: rows, nulls"},
      {"hash", "Counts #rows"},
      {"quote", "'quoted' start"},
      {"dq", "\"double\" start"},
      {"lines", "first\nname: injected\nsecond"},
      {"dashes", "a\n---\nb"},
      {"zero", "0"},
      {"flag", "yes"},
      {"list", "[not, a, list]"},
      {"space", " padded "},
      {"escapes", "tab\there \\ back \x01 ctl \u2028 sep"},
      {"anchor", "&a value"},
      {"tag", "!!python/object x"},
  };
  for (const auto& [name, description] : fields) {
    std::string text = _build_custom_skill_md(name, description, "Body");
    FrontMatterFields read = read_front_matter(text, 100000, 10485760);
    ASSERT_EQ(read.status, FrontMatterFields::Status::kOk) << text;
    EXPECT_EQ(read.name, name) << text;
    EXPECT_EQ(read.description, description) << text;
    EXPECT_TRUE(text.ends_with("\n---\n\nBody\n")) << text;
  }
  EXPECT_EQ(_build_custom_skill_md("n", "d", "c"), "---\nname: n\ndescription: d\n---\n\nc\n");
}

}  // namespace
}  // namespace velko::middleware::skills
