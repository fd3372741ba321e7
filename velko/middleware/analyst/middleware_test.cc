#include "velko/middleware/analyst/middleware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/host/config.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/config/local_config.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::analyst {
namespace {

using host::ModelRequest;
using host::ModelResponse;

// A fresh HOME with a local configuration store the test can fill.
class AnalystMiddlewareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home_ = std::filesystem::temp_directory_path() / ("velko-analyst-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
    home_env_ = std::make_unique<base::ScopedEnv>("HOME", home_.string());
  }
  void TearDown() override {
    home_env_.reset();
    std::filesystem::remove_all(home_);
  }
  void add_local(const std::string& name, const Json& config, bool make_default = false) {
    platform::config::LocalConfigStore().add_connection(name, config, make_default);
  }
  // Calls the hook with a handler that records every request it gets.
  std::vector<ModelRequest> call(DataAnalysisMiddleware& middleware, const ModelRequest& request) {
    std::vector<ModelRequest> seen;
    middleware.wrap_model_call(request, [&seen](const ModelRequest& req) {
      seen.push_back(req);
      return ModelResponse{"ok", {}};
    });
    return seen;
  }

  std::filesystem::path home_;
  std::unique_ptr<base::ScopedEnv> home_env_;
};

// A mode is parsed where it enters: a misspelt one is refused at once rather than giving
// cli behaviour in one place and web behaviour in another.
TEST(RunModes, AMisspeltModeIsRefusedWhereItEnters) {
  for (const char* mode : {"Web", "clii", "", "kubernetes "}) {
    EXPECT_THROW(DataAnalysisMiddleware(nullptr, mode), base::ValueError) << mode;
    EXPECT_THROW(_execute_sql_query_tool_generator(mode), base::ValueError) << mode;
    EXPECT_THROW(_list_tables_tool_generator(mode), base::ValueError) << mode;
  }
  try {
    DataAnalysisMiddleware(nullptr, "wbe");
    ADD_FAILURE() << "a misspelt mode was accepted";
  } catch (const base::ValueError& error) {
    EXPECT_STREQ(error.what(), "Unknown mode 'wbe' (use cli, web or kubernetes)");
  }
  EXPECT_EQ(DataAnalysisMiddleware(nullptr, "cli").mode(), "cli");
  EXPECT_EQ(DataAnalysisMiddleware(nullptr, "web").mode(), "web");
}

TEST(DatabaseContext, BlockTextForKnownUnknownAndMissingDatabase) {
  EXPECT_EQ(_build_database_context({{"type", "POSTGRES"}, {"database", "analytics_db"}}),
            "\n### Database Connection\nYou are connected to a **POSTGRES** database (analytics_db).\n"
            "SQL dialect: **PostgreSQL**\nUse PostgreSQL syntax for all queries.");
  std::string bigquery = _build_database_context({{"type", "BIGQUERY"}});
  EXPECT_NE(bigquery.find("** database ()."), std::string::npos);
  EXPECT_NE(bigquery.find("**Google BigQuery Standard SQL**"), std::string::npos);
  EXPECT_EQ(_build_database_context({{"type", "MYSQL"}, {"database", "d"}}),
            "\n### Database Connection\nYou are connected to a **MYSQL** database (d).\n"
            "SQL dialect: **MYSQL**\nUse MYSQL syntax for all queries.");
  EXPECT_THROW(_build_database_context({{"database", "d"}}), base::KeyError);
}

TEST(DatabaseContext, DialectHintsHoldTheSixWarehouseTypesInOrder) {
  std::vector<std::string> types;
  for (const auto& [type, hint] : DIALECT_HINTS) types.push_back(type);
  ASSERT_GE(types.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(types.begin(), types.begin() + 6),
            (std::vector<std::string>{"SNOWFLAKE", "DATABRICKS", "POSTGRES", "BIGQUERY", "CLICKHOUSE", "MOTHERDUCK"}));
  EXPECT_EQ(DIALECT_HINTS[1].second, "Databricks/Spark SQL");
  EXPECT_EQ(DIALECT_HINTS[5].second, "DuckDB SQL (MotherDuck cloud)");
}

TEST_F(AnalystMiddlewareTest, CliAppendsBlockAfterOneEmptyLineAndCallsHandlerOnce) {
  add_local("warehouse", {{"type", "POSTGRES"}, {"database", "analytics_db"}});
  DataAnalysisMiddleware middleware(nullptr, "cli");
  auto seen = call(middleware, ModelRequest({{"connection_id", "warehouse"}}, std::string("Original prompt")));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].system_prompt_text(),
            "Original prompt\n\n### Database Connection\nYou are connected to a **POSTGRES** database "
            "(analytics_db).\nSQL dialect: **PostgreSQL**\nUse PostgreSQL syntax for all queries.");
}

TEST_F(AnalystMiddlewareTest, CliWithoutIdentifierUsesTheDefaultConnectionAndEmptyPromptGetsTwoLineFeeds) {
  add_local("other", {{"type", "SNOWFLAKE"}, {"database", "x"}});
  add_local("main", {{"type", "SQLITE"}, {"database", "/tmp/demo.db"}}, true);
  DataAnalysisMiddleware middleware(nullptr, "cli");
  auto seen = call(middleware, ModelRequest(Json::object(), std::nullopt));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_TRUE(seen[0].system_prompt_text().starts_with("\n\n### Database Connection\n"));
  EXPECT_NE(seen[0].system_prompt_text().find("**SQLITE** database (/tmp/demo.db)"), std::string::npos);
}

TEST_F(AnalystMiddlewareTest, AsyncHookBuildsTheSameBlock) {
  add_local("dw", {{"type", "SNOWFLAKE"}, {"database", "data_warehouse"}});
  DataAnalysisMiddleware middleware(nullptr, "cli");
  int calls = 0;
  auto future = middleware.awrap_model_call(ModelRequest({{"connection_id", "dw"}}, std::string("p")),
                                            [&calls](const ModelRequest& req) {
                                              ++calls;
                                              return host::ready_future(ModelResponse{req.system_prompt_text(), {}});
                                            });
  std::string prompt = future.get().text;
  EXPECT_EQ(calls, 1);
  EXPECT_NE(prompt.find("**SNOWFLAKE** database (data_warehouse)"), std::string::npos);
  EXPECT_NE(prompt.find("SQL dialect: **Snowflake SQL**\nUse Snowflake SQL syntax"), std::string::npos);
}

TEST_F(AnalystMiddlewareTest, FailuresAndMissingConfigPassTheRequestUnchanged) {
  DataAnalysisMiddleware cli(nullptr, "cli");
  // No configuration at all.
  auto seen = call(cli, ModelRequest(Json::object(), std::string("p")));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].system_prompt_text(), "p");
  // An unreadable store (not JSON) raises inside the look-up: dropped, handler called once.
  std::filesystem::create_directories(home_ / ".velko");
  std::ofstream(home_ / ".velko" / "config.json") << "{broken";
  seen = call(cli, ModelRequest({{"connection_id", "x"}}, std::string("p")));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].system_prompt_text(), "p");
  int async_calls = 0;
  cli.awrap_model_call(ModelRequest(Json::object(), std::string("p")),
                       [&async_calls](const ModelRequest& req) {
                         ++async_calls;
                         EXPECT_EQ(req.system_prompt_text(), "p");
                         return host::ready_future(ModelResponse{});
                       })
      .get();
  EXPECT_EQ(async_calls, 1);
}

TEST_F(AnalystMiddlewareTest, WebLooksUpOnlyWithAnIdentifierAndEmptySlotIsDropped) {
  auto services = std::make_shared<platform::services::InMemoryServices>(
      Json{{"conn-1", {{"type", "DATABRICKS"}, {"database", "main"}}}}, Json::object(), Json::object());
  DataAnalysisMiddleware web(nullptr, "web");
  {
    platform::services::ScopedHostedServices scope(services);
    auto seen = call(web, ModelRequest(Json::object(), std::string("p")));
    EXPECT_EQ(seen.at(0).system_prompt_text(), "p");
    EXPECT_EQ(services->calls("get_database_config"), 0);
    seen = call(web, ModelRequest({{"connection_id", ""}}, std::string("p")));
    EXPECT_EQ(services->calls("get_database_config"), 0);
    seen = call(web, ModelRequest({{"connection_id", "conn-1"}}, std::string("p")));
    EXPECT_NE(seen.at(0).system_prompt_text().find("Databricks/Spark SQL"), std::string::npos);
    seen = call(web, ModelRequest({{"connection_id", "unknown"}}, std::string("p")));
    EXPECT_EQ(seen.at(0).system_prompt_text(), "p");
  }
  // No hosted service in this process: the look-up raises and is dropped.
  auto seen = call(web, ModelRequest({{"connection_id", "conn-1"}}, std::string("p")));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].system_prompt_text(), "p");
}

TEST_F(AnalystMiddlewareTest, HandlerFailureIsNotRetriedWithoutTheBlock) {
  add_local("warehouse", {{"type", "POSTGRES"}, {"database", "db"}});
  DataAnalysisMiddleware middleware(nullptr, "cli");
  int calls = 0;
  EXPECT_THROW(middleware.wrap_model_call(ModelRequest(Json::object(), std::string("p")),
                                          [&calls](const ModelRequest&) -> ModelResponse {
                                            ++calls;
                                            throw base::RuntimeError("model unavailable");
                                          }),
               base::RuntimeError);
  EXPECT_EQ(calls, 1);
}

TEST_F(AnalystMiddlewareTest, ToolsByModeAndToolCallsPassThroughUntouched) {
  auto names = [](const DataAnalysisMiddleware& middleware) {
    std::vector<std::string> out;
    for (const auto& tool : middleware.tools()) out.push_back(tool.name());
    return out;
  };
  const std::vector<std::string> four = {"execute_sql_query", "list_schemas_tool", "list_tables_tool",
                                         "get_table_columns_tool"};
  std::vector<std::string> five = four;
  five.push_back("generate_charts");
  EXPECT_EQ(names(DataAnalysisMiddleware(nullptr, "cli")), five);
  EXPECT_EQ(names(DataAnalysisMiddleware(nullptr, "web")), four);
  EXPECT_EQ(names(DataAnalysisMiddleware()), four);
  EXPECT_EQ(DataAnalysisMiddleware().mode(), "web");

  DataAnalysisMiddleware middleware(nullptr, "cli");
  host::ToolCallRequest request{host::ToolCall{"id", "execute_sql_query", {{"query", "SELECT 1"}}}, {{"a", 1}}, {}};
  const host::ToolCallRequest* received = nullptr;
  host::ToolResult result = middleware.wrap_tool_call(request, [&received](const host::ToolCallRequest& req) {
    received = &req;
    return host::ToolResult(host::ToolMessage{"result", "id", "execute_sql_query"});
  });
  EXPECT_EQ(received, &request);
  EXPECT_EQ(std::get<host::ToolMessage>(result).content, "result");
  EXPECT_FALSE(middleware.before_agent(Json::object(), host::Runtime{}).has_value());
}

}  // namespace
}  // namespace velko::middleware::analyst
