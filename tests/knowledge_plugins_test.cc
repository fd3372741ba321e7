// The knowledge plug-ins as the runtime loads them: each registers its operations, and the
// operations work through the registry with JSON arguments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/http_test_server.h"
#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/logging.h"
#include "velko/host/plugin.h"
#include "velko/host/registry.h"

namespace velko {
namespace {

using test_support::HttpTestServer;
using test_support::ScriptedResponse;
using ::testing::IsSupersetOf;

TEST(KnowledgePlugins, LoadRegisterAndAnswerThroughTheRegistry) {
  host::Registry registry;
  host::PluginLoader loader(registry);
  for (const char* name : {"scout", "chromadb", "defaults"}) {
    ASSERT_NO_THROW(loader.load(name)) << name;
  }
  EXPECT_THAT(
      registry.operation_names(),
      IsSupersetOf({"scout.web_search", "scout.extract_content", "scout.quick_answer", "scout.get_search_context",
                    "chromadb.list_collections", "chromadb.search_docs", "subagents.defaults"}));

  HttpTestServer server;
  server.respond("POST", "/api/tavily/context", ScriptedResponse::json(R"({"context": "from the proxy"})"));
  Json context = (*registry.operation("scout.get_search_context"))(
      {{"base_url", server.url()}, {"access_token", "t"}, {"query", "q"}});
  EXPECT_EQ(context, "from the proxy");

  base::ScopedEnv chroma_key("CHROMA_API_KEY", std::nullopt);
  EXPECT_THROW((*registry.operation("chromadb.search_docs"))({{"query", "q"}}), base::ValueError);

  base::ScopedLogCapture capture;
  Json definitions =
      (*registry.operation("subagents.defaults"))({{"mode", "kubernetes"}, {"model_provider", "openai"}});
  ASSERT_EQ(definitions.size(), 1u);
  EXPECT_EQ(definitions[0]["name"], "explore-agent");
  EXPECT_EQ(definitions[0]["model"]["name"], "gpt-4o-mini");
  EXPECT_EQ(capture.sink().messages("velko.subagents.defaults", base::LogLevel::kWarning).size(), 1u);
}

}  // namespace
}  // namespace velko
