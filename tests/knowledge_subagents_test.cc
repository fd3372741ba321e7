// The sub-agent stand-ins on the wire (TavilyClient, ChromaDBProxyClient) and the
// assembled sub-agents end to end: in each mode, the research and documentation tools reach
// the service that mode names, with that mode's credentials.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/http_test_server.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/platform/search_subagents/chromadb_proxy_client.h"
#include "velko/platform/search_subagents/tavily_client.h"
#include "velko/subagents/defaults/defaults.h"

namespace velko {
namespace {

using test_support::HttpTestServer;
using test_support::RecordedRequest;
using test_support::ScriptedResponse;
using ::testing::ElementsAre;

const host::Tool& tool_named(const platform::search_subagents::SubAgent& subagent, const std::string& name) {
  for (const auto& tool : subagent.tools) {
    if (tool.name() == name) return tool;
  }
  throw std::runtime_error("no tool " + name);
}

TEST(TavilyClientWire, EachOperationPostsToTheSearchServiceWithTheKey) {
  HttpTestServer server;
  server.respond("POST", "/search", ScriptedResponse::json(R"({"answer": "Yes.", "results": [
      {"url": "https://a", "content": "alpha", "score": 0.9}, {"url": "https://b", "content": "beta"}]})"));
  server.respond("POST", "/extract",
                 ScriptedResponse::json(R"({"results": [{"url": "https://a", "raw_content": "A"}]})"));
  platform::search_subagents::TavilyClient client("tvly-key-1", server.url() + "/");

  struct Case {
    std::string name;
    std::function<std::string()> call;
    std::string path;
    std::string body;
    std::string result;
  };
  const Case cases[] = {
      {"web_search", [&] { return base::dumps(client.web_search("dbt", 2, false)["results"][0]["url"]); }, "/search",
       R"({"query": "dbt", "max_results": 2, "include_raw_content": false})", R"("https://a")"},
      {"extract_content",
       [&] { return base::dumps(client.extract_content({"https://a"})["results"][0]["raw_content"]); }, "/extract",
       R"({"urls": ["https://a"]})", R"("A")"},
      {"quick_answer", [&] { return client.quick_answer("is it?"); }, "/search",
       R"({"query": "is it?", "search_depth": "advanced", "include_answer": true})", "Yes."},
      {"get_search_context", [&] { return client.get_search_context("ctx", 4); }, "/search",
       R"({"query": "ctx", "max_results": 4})",
       R"([{"url": "https://a", "content": "alpha"}, {"url": "https://b", "content": "beta"}])"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    server.clear_requests();
    EXPECT_EQ(item.call(), item.result);
    std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, item.path);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer tvly-key-1");
    EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
    EXPECT_EQ(requests[0].body, item.body);
  }

  server.respond("POST", "/search", ScriptedResponse::json(R"({"detail": {"error": "Unauthorized"}})", 401));
  EXPECT_THROW(client.web_search("q", 5, false), base::HTTPStatusError);
  server.respond("POST", "/search", ScriptedResponse::json(R"({"results": []})"));
  EXPECT_EQ(client.quick_answer("q"), "");
}

TEST(ChromaDBProxyClientWire, ListsAndSearchesThroughTheWebApplication) {
  HttpTestServer server;
  server.respond("GET", "/api/chromadb/collections",
                 ScriptedResponse::json(R"({"collections": ["airflow_docs", "dbt_docs"]})"));
  server.respond("POST", "/api/chromadb/search",
                 ScriptedResponse::json(
                     R"({"query": "q", "collection": "dbt_docs", "num_results": 1, "results": [{"content": "c"}]})"));
  platform::search_subagents::ChromaDBProxyClient client(server.url() + "//", "user-token-7");

  EXPECT_THAT(client.list_collections(), ElementsAre("airflow_docs", "dbt_docs"));
  Json found = client.search_docs("q", "dbt_docs", 99);
  EXPECT_EQ(found["num_results"], 1);
  std::vector<RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/api/chromadb/collections");
  EXPECT_EQ(requests[1].path, "/api/chromadb/search");
  EXPECT_EQ(requests[1].body, R"({"query": "q", "collection": "dbt_docs", "n_results": 20})");
  for (const auto& request : requests) EXPECT_EQ(request.header("Authorization"), "Bearer user-token-7");

  server.respond("POST", "/api/chromadb/search", ScriptedResponse::text("down", 503));
  Json failed = client.search_docs("q", "dbt_docs", 5);
  EXPECT_EQ(base::dumps(failed),
            R"({"error": "Documentation search failed: Server error '503 Service Unavailable' for url ')" +
                server.url() +
                R"(/api/chromadb/search'", "query": "q", "collection": "dbt_docs", "num_results": 0, )"
                R"("results": []})");
  server.respond("GET", "/api/chromadb/collections", ScriptedResponse::json(R"({"collections": "all"})"));
  EXPECT_THROW(client.list_collections(), base::TypeError);
}

TEST(AssembledSubagents, CliToolsGoThroughTheWebApplicationWithTheUserToken) {
  HttpTestServer server;
  server.respond("POST", "/api/tavily/web", ScriptedResponse::json(R"({"results": []})"));
  server.respond("POST", "/api/chromadb/search", ScriptedResponse::json(R"({"num_results": 0, "results": []})"));
  base::ScopedEnv app_url("VELKO_APP_URL", server.url() + "/");
  base::ScopedEnv tavily_key("TAVILY_API_KEY", std::nullopt);

  auto subagents = subagents::defaults::get_default_subagents("cli", std::string("user-token-7"));
  ASSERT_EQ(subagents.size(), 3u);
  EXPECT_EQ(tool_named(subagents[1], "web_search").invoke({{"query", "dlt"}}, {}), R"({"results": []})");
  EXPECT_EQ(tool_named(subagents[2], "search_docs").invoke({{"query", "dag"}}, {}),
            R"({"num_results": 0, "results": []})");

  std::vector<RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].path, "/api/tavily/web");
  EXPECT_EQ(requests[0].body, R"({"query": "dlt", "max_results": 5, "include_raw_content": false})");
  EXPECT_EQ(requests[1].path, "/api/chromadb/search");
  EXPECT_EQ(requests[1].body, R"({"query": "dag", "collection": "airflow_docs", "n_results": 5})");
  for (const auto& request : requests) EXPECT_EQ(request.header("Authorization"), "Bearer user-token-7");
}

TEST(AssembledSubagents, WebToolsTalkToTheServicesDirectlyWithTheirKeys) {
  HttpTestServer server;
  server.respond("POST", "/tavily/search", ScriptedResponse::json(R"({"answer": "direct"})"));
  server.respond("GET", "/api/v2/tenants/t/databases/d/collections/dbt_docs",
                 ScriptedResponse::json(R"({"id": "col-1", "name": "dbt_docs"})"));
  server.respond("POST", "/v1/embeddings", ScriptedResponse::json(R"({"data": [{"embedding": [0.5]}]})"));
  server.respond("POST", "/api/v2/tenants/t/databases/d/collections/col-1/query",
                 ScriptedResponse::json(
                     R"({"documents": [["doc"]], "metadatas": [[{"file_path": "f.md"}]], "distances": [[0.1]]})"));
  base::ScopedEnv tavily_key("TAVILY_API_KEY", "tvly-9");
  base::ScopedEnv tavily_url("TAVILY_BASE_URL", server.url() + "/tavily");
  base::ScopedEnv tenant("CHROMA_TENANT", "t");
  base::ScopedEnv database("CHROMA_DATABASE", "d");
  base::ScopedEnv chroma_key("CHROMA_API_KEY", "ck-9");
  base::ScopedEnv openai_key("OPENAI_API_KEY", "sk-9");
  base::ScopedEnv chroma_url("CHROMA_URL", server.url());
  base::ScopedEnv openai_url("OPENAI_BASE_URL", server.url() + "/v1");
  base::ScopedEnv app_url("VELKO_APP_URL", "http://127.0.0.1:1");  // would fail if cli clients were used

  auto subagents = subagents::defaults::get_default_subagents("web", std::nullopt, std::string("anthropic"));
  ASSERT_EQ(subagents.size(), 3u);
  EXPECT_EQ(tool_named(subagents[1], "quick_answer").invoke({{"query", "q"}}, {}), "direct");
  EXPECT_EQ(tool_named(subagents[2], "search_docs").invoke({{"query", "q"}, {"collection", "dbt_docs"}}, {}),
            R"({"query": "q", "collection": "dbt_docs", "num_results": 1, "results": [)"
            R"({"content": "doc", "source": "f.md", "chunk_index": 0, "relevance_score": 0.9}]})");
  for (const auto& subagent : subagents) EXPECT_EQ(subagent.definition["model"]["provider"], "anthropic");

  std::vector<RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer tvly-9");
  EXPECT_EQ(requests[1].header("X-Chroma-Token"), "ck-9");
  EXPECT_EQ(requests[2].header("Authorization"), "Bearer sk-9");
  EXPECT_EQ(requests[3].header("X-Chroma-Token"), "ck-9");
}

}  // namespace
}  // namespace velko
