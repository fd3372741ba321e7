// The sub-agent building blocks: builders and their tools over fake clients, the small
// models, and the direct search client's key check. Stand-in clients on the wire:
// tests/knowledge_subagents_test.cc.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/host/plugin.h"
#include "velko/platform/search_subagents/client_factories.h"
#include "velko/platform/search_subagents/models.h"
#include "velko/platform/search_subagents/subagents.h"
#include "velko/platform/search_subagents/tavily_client.h"

namespace velko::platform::search_subagents {
namespace {

using ::testing::ElementsAre;

class FakeWebSearch : public WebSearchClient {
 public:
  Json web_search(std::string_view query, long long max_results, bool raw) const override {
    if (query == "fail") throw base::RuntimeError("search service down");
    return {{"query", query}, {"max_results", max_results}, {"raw", raw}};
  }
  Json extract_content(const std::vector<std::string>& urls) const override { return {{"urls", urls}}; }
  std::string quick_answer(std::string_view query) const override { return "answer to " + std::string(query); }
  std::string get_search_context(std::string_view query, long long max_results) const override {
    return std::string(query) + "/" + std::to_string(max_results);
  }
};

class FakeDocs : public DocsSearchClient {
 public:
  std::vector<std::string> list_collections() const override { return {"one", "two"}; }
  Json search_docs(std::string_view query, std::string_view collection, long long n_results) const override {
    if (query == "fail") throw base::ValueError("index missing");
    return {{"query", query}, {"collection", collection}, {"n_results", n_results}};
  }
};

const host::Tool& tool_named(const SubAgent& subagent, const std::string& name) {
  for (const auto& tool : subagent.tools) {
    if (tool.name() == name) return tool;
  }
  throw std::runtime_error("no tool " + name);
}

TEST(SubagentBuilders, EachDefinitionNamesItsPromptAndTools) {
  SubAgent explore = get_explore_subagent();
  EXPECT_EQ(explore.name(), "explore-agent");
  EXPECT_FALSE(explore.definition["description"].get<std::string>().empty());
  EXPECT_FALSE(explore.definition["system_prompt"].get<std::string>().empty());
  EXPECT_EQ(explore.definition["tools"],
            Json({"list_schemas_tool", "list_tables_tool", "get_table_columns_tool", "execute_sql_query"}));
  EXPECT_FALSE(explore.definition.contains("model"));

  std::optional<SubAgent> research = get_research_subagent(std::make_shared<FakeWebSearch>());
  ASSERT_TRUE(research);
  EXPECT_EQ(research->name(), "research-agent");
  EXPECT_EQ(research->definition["tools"],
            Json({"web_search", "extract_content", "quick_answer", "get_search_context"}));
  ASSERT_EQ(research->tools.size(), 4u);

  std::optional<SubAgent> docs = get_docs_subagent(std::make_shared<FakeDocs>());
  ASSERT_TRUE(docs);
  EXPECT_EQ(docs->name(), "docs-agent");
  EXPECT_EQ(docs->definition["tools"], Json({"list_collections", "search_docs"}));

  EXPECT_FALSE(get_research_subagent(nullptr));
  EXPECT_FALSE(get_docs_subagent(nullptr));
}

TEST(SubagentBuilders, ToolsCallTheirClientAndTurnErrorsIntoErrorText) {
  SubAgent research = *get_research_subagent(std::make_shared<FakeWebSearch>());
  SubAgent docs = *get_docs_subagent(std::make_shared<FakeDocs>());
  struct Case {
    const SubAgent* subagent;
    std::string tool;
    Json args;
    std::string expected;
  };
  const Case cases[] = {
      {&research, "web_search", {{"query", "dbt"}}, R"({"query": "dbt", "max_results": 5, "raw": false})"},
      {&research,
       "web_search",
       {{"query", "dbt"}, {"max_results", 2}, {"include_raw_content", true}},
       R"({"query": "dbt", "max_results": 2, "raw": true})"},
      {&research, "web_search", {{"query", "fail"}}, "Error: search service down"},
      {&research, "extract_content", {{"urls", {"https://a"}}}, R"({"urls": ["https://a"]})"},
      {&research, "extract_content", {{"urls", {1}}}, "Error: urls must be a list of text"},
      {&research, "quick_answer", {{"query", "why"}}, "answer to why"},
      {&research, "get_search_context", {{"query", "q"}, {"max_results", 3}}, "q/3"},
      {&docs, "list_collections", Json::object(), R"(["one", "two"])"},
      {&docs, "search_docs", {{"query", "dag"}}, R"({"query": "dag", "collection": "airflow_docs", "n_results": 5})"},
      {&docs,
       "search_docs",
       {{"query", "dag"}, {"collection", "dbt_docs"}, {"n_results", 9}},
       R"({"query": "dag", "collection": "dbt_docs", "n_results": 9})"},
      {&docs, "search_docs", {{"query", "fail"}}, "Error: index missing"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.tool + " " + item.args.dump());
    EXPECT_EQ(tool_named(*item.subagent, item.tool).invoke(item.args, {}), item.expected);
  }
}

TEST(SmallModels, KnownProvidersHaveOneAndOthersNone) {
  EXPECT_EQ(base::dumps(get_small_model("anthropic")),
            R"({"provider": "anthropic", "name": "claude-3-5-haiku-latest"})");
  EXPECT_EQ(get_small_model("OpenAI")["name"], "gpt-4o-mini");
  EXPECT_EQ(get_small_model("google")["provider"], "google");
  EXPECT_TRUE(get_small_model("mistral").is_null());
  EXPECT_TRUE(get_small_model("").is_null());
}

TEST(TavilyClient, AMissingOrEmptyKeyIsAValueError) {
  for (std::optional<std::string> value : {std::optional<std::string>(), std::optional<std::string>("")}) {
    base::ScopedEnv key("TAVILY_API_KEY", value);
    EXPECT_THROW(TavilyClient(), base::ValueError);
  }
  base::ScopedEnv key("TAVILY_API_KEY", "tvly-1");
  base::ScopedEnv url("TAVILY_BASE_URL", std::nullopt);
  EXPECT_EQ(TavilyClient().base_url(), "https://api.tavily.com");
  EXPECT_EQ(TavilyClient("k", "http://h//").base_url(), "http://h");
}

TEST(ClientFactories, NamesAreLookedUpPerKindAndALaterAddReplaces) {
  host::Registry table;
  EXPECT_FALSE(table.component(WEB_SEARCH_CLIENTS, TAVILY_PROXY_CLIENT));
  table.add_component(WEB_SEARCH_CLIENTS, "search",
                      [](const ClientOptions&) { return std::make_shared<FakeWebSearch>(); });
  table.add_component(DOCS_SEARCH_CLIENTS, "docs",
                      [](const ClientOptions& options) -> std::shared_ptr<const DocsSearchClient> {
                        if (options.access_token.empty()) throw base::ValueError("no token");
                        return std::make_shared<FakeDocs>();
                      });
  EXPECT_FALSE(table.component(DOCS_SEARCH_CLIENTS, "search"));  // the kinds do not share names
  EXPECT_FALSE(table.component(WEB_SEARCH_CLIENTS, "docs"));
  EXPECT_THROW((*table.component(DOCS_SEARCH_CLIENTS, "docs"))({"http://h", ""}), base::ValueError);
  EXPECT_EQ((*table.component(DOCS_SEARCH_CLIENTS, "docs"))({"http://h", "t"})->list_collections(),
            (std::vector<std::string>{"one", "two"}));

  table.add_component(WEB_SEARCH_CLIENTS, "other",
                      [](const ClientOptions&) { return std::make_shared<FakeWebSearch>(); });
  table.add_component(WEB_SEARCH_CLIENTS, "search",
                      [](const ClientOptions&) -> std::shared_ptr<const WebSearchClient> { return nullptr; });
  EXPECT_EQ((*table.component(WEB_SEARCH_CLIENTS, "search"))({}), nullptr);
  EXPECT_THAT(table.component_names(WEB_SEARCH_CLIENTS), ElementsAre("search", "other"));
  EXPECT_THAT(table.component_names(DOCS_SEARCH_CLIENTS), ElementsAre("docs"));
  // The registry that a plug-in loaded on a module's request fills is one for the process.
  EXPECT_EQ(&host::process_plugin_loader().registry(), &host::process_plugin_loader().registry());
}

TEST(ClientFactories, AddingAndLookingUpFromManyThreadsLosesNothing) {
  host::Registry table;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&table, t] {
      for (int i = 0; i < 50; ++i) {
        std::string name = std::to_string(t) + "-" + std::to_string(i);
        table.add_component(DOCS_SEARCH_CLIENTS, name,
                            [](const ClientOptions&) { return std::make_shared<FakeDocs>(); });
        EXPECT_TRUE(table.component(DOCS_SEARCH_CLIENTS, name));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(table.component_names(DOCS_SEARCH_CLIENTS).size(), 200u);
}

}  // namespace
}  // namespace velko::platform::search_subagents
