// The sub-agent assembly: which components each mode reaches, the warnings, the small
// model, the argument checks, and which client plug-ins each mode loads.
#include "velko/subagents/defaults/defaults.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/logging.h"
#include "velko/base/strings.h"
#include "velko/host/plugin.h"
#include "velko/subagents/defaults/module.h"

namespace velko::subagents::defaults {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kAccessWarning =
    "Access token not available. Research and docs subagents disabled. Run '/login' to enable web search and "
    "documentation lookup.";

class NullWebSearch : public WebSearchClient {
 public:
  Json web_search(std::string_view, long long, bool) const override { return Json::object(); }
  Json extract_content(const std::vector<std::string>&) const override { return Json::object(); }
  std::string quick_answer(std::string_view) const override { return ""; }
  std::string get_search_context(std::string_view, long long) const override { return ""; }
};

class NullDocs : public DocsSearchClient {
 public:
  std::vector<std::string> list_collections() const override { return {}; }
  Json search_docs(std::string_view, std::string_view, long long) const override { return Json::object(); }
};

SubAgent named(const std::string& name) {
  SubAgent subagent;
  subagent.definition["name"] = name;
  return subagent;
}

// Components that record every call by name, so a test can see which branch reached what.
struct Recorder {
  std::vector<std::string> calls;
  std::vector<std::pair<std::string, std::string>> proxy_arguments;
  std::function<void()> on_chromadb_client = [] {};
  std::function<void()> on_tavily_client = [] {};
  bool research_available = true;
  Json small_model = {{"provider", "anthropic"}, {"name", "small"}};

  Components components() {
    Components c;
    c.get_explore_subagent = [this] {
      calls.push_back("explore");
      return named("explore");
    };
    c.get_research_subagent = [this](std::shared_ptr<const WebSearchClient> client) -> std::optional<SubAgent> {
      calls.push_back(client ? "research" : "research(null)");
      if (!research_available) return std::nullopt;
      return named("research");
    };
    c.get_docs_subagent = [this](std::shared_ptr<const DocsSearchClient> client) -> std::optional<SubAgent> {
      calls.push_back(client ? "docs" : "docs(null)");
      return named("docs");
    };
    c.make_tavily_client = [this] {
      calls.push_back("TavilyClient");
      on_tavily_client();
      return std::make_shared<NullWebSearch>();
    };
    c.make_chromadb_client = [this] {
      calls.push_back("ChromaDBClient");
      on_chromadb_client();
      return std::make_shared<NullDocs>();
    };
    c.make_tavily_proxy_client = [this](const std::string& url, const std::string& token) {
      calls.push_back("TavilyProxyClient");
      proxy_arguments.emplace_back(url, token);
      return std::make_shared<NullWebSearch>();
    };
    c.make_chromadb_proxy_client = [this](const std::string& url, const std::string& token) {
      calls.push_back("ChromaDBProxyClient");
      proxy_arguments.emplace_back(url, token);
      return std::make_shared<NullDocs>();
    };
    c.app_url = [this] {
      calls.push_back("settings.app_url");
      return std::string("https://app.test");
    };
    c.get_small_model = [this](const std::string& provider) {
      calls.push_back("get_small_model(" + provider + ")");
      return small_model;
    };
    return c;
  }
};

std::vector<std::string> names_of(const std::vector<SubAgent>& subagents) {
  std::vector<std::string> names;
  for (const auto& subagent : subagents) names.push_back(subagent.name());
  return names;
}

std::vector<std::string> warnings(const base::ScopedLogCapture& capture) {
  return capture.sink().messages("velko.subagents.defaults", base::LogLevel::kWarning);
}

TEST(DefaultSubagents, EachModeReachesOnlyItsOwnComponents) {
  struct Case {
    std::string mode;
    std::optional<std::string> token;
    std::vector<std::string> names;
    std::vector<std::string> calls;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"web",
       std::nullopt,
       {"explore", "research", "docs"},
       {"explore", "TavilyClient", "ChromaDBClient", "research", "docs"},
       {}},
      {"web",
       std::string("tok"),
       {"explore", "research", "docs"},
       {"explore", "TavilyClient", "ChromaDBClient", "research", "docs"},
       {}},
      {"cli",
       std::string("tok"),
       {"explore", "research", "docs"},
       {"explore", "settings.app_url", "TavilyProxyClient", "ChromaDBProxyClient", "research", "docs"},
       {}},
      {"cli", std::nullopt, {"explore"}, {"explore"}, {kAccessWarning}},
      {"cli", std::string(""), {"explore"}, {"explore"}, {kAccessWarning}},
      {"kubernetes", std::string("tok"), {"explore"}, {"explore"}, {kAccessWarning}},
      {"other", std::string("tok"), {"explore"}, {"explore"}, {kAccessWarning}},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.mode + " token=" + item.token.value_or("<none>"));
    base::ScopedLogCapture capture;
    Recorder recorder;
    auto subagents = get_default_subagents(recorder.components(), item.mode, item.token);
    EXPECT_EQ(names_of(subagents), item.names);
    EXPECT_EQ(recorder.calls, item.calls);
    EXPECT_EQ(warnings(capture), item.warnings);
  }
}

TEST(DefaultSubagents, CliProxyClientsShareTheAppUrlAndToken) {
  Recorder recorder;
  get_default_subagents(recorder.components(), "cli", std::string("tok-9"));
  EXPECT_THAT(recorder.proxy_arguments, ElementsAre(std::pair<std::string, std::string>{"https://app.test", "tok-9"},
                                                    std::pair<std::string, std::string>{"https://app.test", "tok-9"}));
}

TEST(DefaultSubagents, WebClientErrorsOfValueOrKeyKindCostBothSubagentsWithOneWarning) {
  struct Case {
    std::string name;
    std::function<void(Recorder&)> arrange;
    std::string warning;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"chroma credentials",
       [](Recorder& r) {
         r.on_chromadb_client = [] { throw base::ValueError("ChromaDB credentials not fully configured"); };
       },
       "Direct clients unavailable for web mode: ChromaDB credentials not fully configured",
       {"explore", "TavilyClient", "ChromaDBClient"}},
      {"tavily key error",
       [](Recorder& r) { r.on_tavily_client = [] { throw base::KeyError("TAVILY_API_KEY"); }; },
       "Direct clients unavailable for web mode: 'TAVILY_API_KEY'",
       {"explore", "TavilyClient"}},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    base::ScopedLogCapture capture;
    Recorder recorder;
    item.arrange(recorder);
    auto subagents = get_default_subagents(recorder.components(), "web", std::nullopt);
    EXPECT_THAT(names_of(subagents), ElementsAre("explore"));
    EXPECT_EQ(recorder.calls, item.calls);
    EXPECT_THAT(warnings(capture), ElementsAre(item.warning));
  }

  Recorder failing;
  failing.on_chromadb_client = [] { throw base::ModuleNotFoundError("No module named 'chromadb'"); };
  EXPECT_THROW(get_default_subagents(failing.components(), "web"), base::ModuleNotFoundError);
}

TEST(DefaultSubagents, ABuilderWithoutASubagentLeavesTheOthersInOrder) {
  for (const char* mode : {"web", "cli"}) {
    Recorder recorder;
    recorder.research_available = false;
    auto subagents = get_default_subagents(recorder.components(), mode, std::string("tok"));
    EXPECT_THAT(names_of(subagents), ElementsAre("explore", "docs")) << mode;
  }
}

TEST(DefaultSubagents, TheSmallModelGoesOnEverySubagentOnlyWhenFound) {
  Recorder recorder;
  auto subagents = get_default_subagents(recorder.components(), "cli", std::string("tok"), std::string("anthropic"));
  ASSERT_EQ(subagents.size(), 3u);
  for (const auto& subagent : subagents)
    EXPECT_EQ(subagent.definition["model"], recorder.small_model) << subagent.name();

  for (const std::optional<std::string>& provider : {std::optional<std::string>(), std::optional<std::string>("")}) {
    Recorder without;
    for (const auto& subagent : get_default_subagents(without.components(), "web", std::nullopt, provider)) {
      EXPECT_FALSE(subagent.definition.contains("model"));
    }
    EXPECT_THAT(without.calls, ::testing::Not(::testing::Contains(::testing::StartsWith("get_small_model"))));
  }

  Recorder unknown;
  unknown.small_model = nullptr;
  for (const auto& subagent : get_default_subagents(unknown.components(), "web", std::nullopt, std::string("acme"))) {
    EXPECT_FALSE(subagent.definition.contains("model"));
  }
  EXPECT_THAT(unknown.calls, ::testing::Contains("get_small_model(acme)"));
}

// With the real components: the branch not taken never touches what would fail.
class RealComponents : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() / ("velko-defaults-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(home_ / ".velko");
    std::ofstream(home_ / ".velko" / "config.json") << "not json: reading the settings would throw";
    home_env_.emplace("HOME", home_.string());
  }
  void TearDown() override {
    home_env_.reset();
    std::filesystem::remove_all(home_);
  }

  std::filesystem::path home_;
  std::optional<base::ScopedEnv> home_env_;
  base::ScopedEnv app_url_{"VELKO_APP_URL", std::nullopt};
  base::ScopedEnv plugin_path_{"VELKO_PLUGIN_PATH", VELKO_TEST_PLUGIN_DIR};
};

TEST_F(RealComponents, WebModeUsesTheEnvironmentAndNeverTheLocalSettings) {
  base::ScopedEnv tavily("TAVILY_API_KEY", "tvly-1");
  base::ScopedEnv tenant("CHROMA_TENANT", "t");
  base::ScopedEnv database("CHROMA_DATABASE", "d");
  base::ScopedEnv chroma_key("CHROMA_API_KEY", "c");
  base::ScopedEnv openai_key("OPENAI_API_KEY", "o");
  base::ScopedLogCapture capture;
  auto subagents = get_default_subagents("web", std::nullopt, std::string("openai"));
  EXPECT_THAT(names_of(subagents), ElementsAre("explore-agent", "research-agent", "docs-agent"));
  EXPECT_EQ(subagents[2].definition["model"]["name"], "gpt-4o-mini");
  EXPECT_THAT(warnings(capture), IsEmpty());
  // The same settings do fail when the cli branch reads them.
  EXPECT_THROW(get_default_subagents("cli", std::string("tok")), base::ValueError);
}

TEST_F(RealComponents, WebModeWithoutChromaCredentialsKeepsOnlyExploration) {
  base::ScopedEnv tavily("TAVILY_API_KEY", "tvly-1");
  base::ScopedEnv chroma_key("CHROMA_API_KEY", std::nullopt);
  base::ScopedLogCapture capture;
  auto subagents = get_default_subagents("web");
  EXPECT_THAT(names_of(subagents), ElementsAre("explore-agent"));
  EXPECT_THAT(warnings(capture),
              ElementsAre("Direct clients unavailable for web mode: ChromaDB credentials not fully configured"));
}

TEST_F(RealComponents, CliModeNeverCreatesTheDirectClients) {
  base::ScopedEnv app_url("VELKO_APP_URL", "https://app.test/");
  base::ScopedEnv tavily("TAVILY_API_KEY", std::nullopt);      // TavilyClient() would throw
  base::ScopedEnv chroma_key("CHROMA_API_KEY", std::nullopt);  // ChromaDBClient() would throw
  base::ScopedLogCapture capture;
  auto subagents = get_default_subagents("cli", std::string("tok"));
  EXPECT_THAT(names_of(subagents), ElementsAre("explore-agent", "research-agent", "docs-agent"));
  EXPECT_THAT(warnings(capture), IsEmpty());
}

TEST(DefaultSubagentsOperation, ChecksArgumentTypesByName) {
  struct Case {
    Json args;
    std::string parameter;
  };
  const Case cases[] = {
      {{{"mode", "cli"}, {"access_token", 5}}, "access_token"},
      {{{"mode", "cli"}, {"model_provider", Json::array()}}, "model_provider"},
      {{{"mode", 1}}, "mode"},
      {Json::object(), "mode"},
      {Json("cli"), "arguments"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.args.dump());
    try {
      get_default_subagents_operation(item.args);
      ADD_FAILURE() << "no TypeError";
    } catch (const base::TypeError& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith(item.parameter));
    }
  }
  base::ScopedLogCapture capture;
  Json definitions = get_default_subagents_operation({{"mode", "kubernetes"}, {"access_token", nullptr}});
  ASSERT_EQ(definitions.size(), 1u);
  EXPECT_EQ(definitions[0]["name"], "explore-agent");
  host::Registry registry;
  register_module(registry);
  EXPECT_THAT(registry.operation_names(), ElementsAre("subagents.defaults"));
}

// The client libraries are reached through their plug-ins only, and each mode loads just
// the plug-in its branch needs.
std::vector<std::string> needed_libraries(const std::filesystem::path& file) {
  std::string command = "readelf -d '" + file.string() + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {"<popen failed>"};
  std::string output;
  char buffer[4096];
  size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, count);
  ::pclose(pipe);
  std::vector<std::string> needed;
  for (auto line : base::split(output, '\n')) {
    if (line.find("(NEEDED)") == std::string_view::npos) continue;
    auto open = line.find('['), close = line.find(']');
    if (open != std::string_view::npos && close > open) needed.emplace_back(line.substr(open + 1, close - open - 1));
  }
  return needed;
}

// The client libraries and plug-ins mapped into this process, by file name, sorted.
std::string loaded_client_objects() {
  std::vector<std::string> found;
  ::dl_iterate_phdr(
      [](struct dl_phdr_info* info, size_t, void* data) {
        std::string name = std::filesystem::path(info->dlpi_name ? info->dlpi_name : "").filename().string();
        for (const char* watched :
             {"libvelko_scout.so", "velko_scout.so", "libvelko_chromadb.so", "velko_chromadb.so"}) {
          if (name == watched) static_cast<std::vector<std::string>*>(data)->push_back(name);
        }
        return 0;
      },
      &found);
  std::sort(found.begin(), found.end());
  std::string joined;
  for (const auto& name : found) joined += (joined.empty() ? "" : ",") + name;
  return joined;
}

TEST(ClientPlugins, NeitherTheLibraryNorItsPluginLinksTheClientLibraries) {
  Dl_info info{};
  ASSERT_NE(::dladdr(reinterpret_cast<void*>(&get_default_subagents_operation), &info), 0);
  std::filesystem::path library = info.dli_fname;
  ASSERT_EQ(library.filename(), "libvelko_defaults.so");
  for (const std::filesystem::path& file : {library, std::filesystem::path(VELKO_TEST_DEFAULTS_PLUGIN)}) {
    SCOPED_TRACE(file.string());
    std::vector<std::string> needed = needed_libraries(file);
    EXPECT_THAT(needed, ::testing::Contains(::testing::StartsWith("libvelko_"))) << "readelf found no velko library";
    EXPECT_THAT(needed, ::testing::Not(::testing::Contains(::testing::HasSubstr("velko_scout"))));
    EXPECT_THAT(needed, ::testing::Not(::testing::Contains(::testing::HasSubstr("velko_chromadb"))));
  }
}

// Each case runs in a fresh process (a death-test child), so no earlier test has loaded
// anything. The child reports what was mapped before and after the call, what the
// process's plug-in loader loaded, and the sub-agents.
void report_plugins_loaded_by(const std::string& mode, const std::optional<std::string>& token) {
  std::string before = loaded_client_objects();
  auto subagents = get_default_subagents(mode, token);
  std::string names;
  for (const auto& subagent : subagents) names += (names.empty() ? "" : ",") + subagent.name();
  std::fprintf(stderr, "before=[%s] after=[%s] loader=[%s%s] subagents=[%s]\n", before.c_str(),
               loaded_client_objects().c_str(), host::process_plugin_loader().loaded("scout") ? "scout" : "",
               host::process_plugin_loader().loaded("chromadb") ? "chromadb" : "", names.c_str());
  std::fflush(stderr);
  std::_Exit(0);
}

class ClientPluginLoading : public RealComponents {
 protected:
  void SetUp() override {
    RealComponents::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
  }
  base::ScopedEnv tavily_{"TAVILY_API_KEY", "tvly-1"};
  base::ScopedEnv tenant_{"CHROMA_TENANT", "t"};
  base::ScopedEnv database_{"CHROMA_DATABASE", "d"};
  base::ScopedEnv chroma_key_{"CHROMA_API_KEY", "c"};
  base::ScopedEnv openai_key_{"OPENAI_API_KEY", "o"};
  base::ScopedEnv app_url_set_{"VELKO_APP_URL", "https://app.test"};
};

TEST_F(ClientPluginLoading, CliWithATokenLoadsScoutOnly) {
  EXPECT_EXIT(report_plugins_loaded_by("cli", std::string("tok")), ::testing::ExitedWithCode(0),
              R"(before=\[\] after=\[libvelko_scout\.so,velko_scout\.so\] loader=\[scout\] )"
              R"(subagents=\[explore-agent,research-agent,docs-agent\])");
}

TEST_F(ClientPluginLoading, WebLoadsChromadbOnly) {
  EXPECT_EXIT(report_plugins_loaded_by("web", std::nullopt), ::testing::ExitedWithCode(0),
              R"(before=\[\] after=\[libvelko_chromadb\.so,velko_chromadb\.so\] loader=\[chromadb\] )"
              R"(subagents=\[explore-agent,research-agent,docs-agent\])");
}

TEST_F(ClientPluginLoading, KubernetesAndCliWithoutATokenLoadNeither) {
  EXPECT_EXIT(report_plugins_loaded_by("kubernetes", std::string("tok")), ::testing::ExitedWithCode(0),
              R"(before=\[\] after=\[\] loader=\[\] subagents=\[explore-agent\])");
  EXPECT_EXIT(report_plugins_loaded_by("cli", std::nullopt), ::testing::ExitedWithCode(0),
              R"(before=\[\] after=\[\] loader=\[\] subagents=\[explore-agent\])");
}

TEST_F(ClientPluginLoading, AMissingPluginIsAnImportErrorInEveryMode) {
  base::ScopedEnv nowhere("VELKO_PLUGIN_PATH", "/nonexistent/velko-plugins");
  // The installation's own plug-in directories must not be found either: the test program
  // lives outside them, so only VELKO_PLUGIN_PATH could supply the plug-ins.
  EXPECT_EXIT(
      {
        base::ScopedLogCapture capture;
        for (const char* mode : {"web", "cli"}) {
          try {
            get_default_subagents(mode, std::string("tok"));
            std::fprintf(stderr, "%s: no error\n", mode);
          } catch (const base::ModuleNotFoundError& error) {
            std::fprintf(stderr, "%s: %s\n", mode, error.what());
          }
        }
        std::fprintf(stderr, "warnings=%zu\n", warnings(capture).size());
        std::fflush(stderr);
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0),
      R"(web: Plug-in 'chromadb' not found \(searched: /nonexistent/velko-plugins, .*\)
cli: Plug-in 'scout' not found \(searched: /nonexistent/velko-plugins, .*\)
warnings=0)");
}

}  // namespace
}  // namespace velko::subagents::defaults
