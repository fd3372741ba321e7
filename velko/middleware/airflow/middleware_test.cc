#include "velko/middleware/airflow/middleware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/host/config.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::airflow {
namespace {
namespace fs = std::filesystem;
namespace services = platform::services;

std::string golden() {
  fs::path dir = fs::path(__FILE__).parent_path();
  if (auto source = base::getenv_opt("VELKO_SOURCE_DIR")) dir = fs::path(*source) / "velko/middleware/airflow";
  std::ifstream in(dir / "testdata" / "airflow_system_prompt.txt", std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// Every Airflow name is absent from the process environment while a test runs.
class AirflowTest : public ::testing::Test {
 protected:
  std::shared_ptr<services::InMemoryServices> services_with(const Json& env_vars) {
    return std::make_shared<services::InMemoryServices>(Json::object(), Json::object(), env_vars);
  }

  base::ScopedEnv url_{"AIRFLOW_API_URL", std::nullopt};
  base::ScopedEnv token_{"AIRFLOW_AUTH_TOKEN", std::nullopt};
  base::ScopedEnv user_{"AIRFLOW_USERNAME", std::nullopt};
  base::ScopedEnv password_{"AIRFLOW_PASSWORD", std::nullopt};
  std::shared_ptr<services::InMemoryServices> services_ =
      services_with(Json{{"url", {{"name", "AIRFLOW_API_URL"}, {"value", "https://airflow.example"}}},
                         {"pw", {{"name", "AIRFLOW_PASSWORD"}, {"value", "secret"}}},
                         {"aws", {{"name", "AWS_ACCESS_KEY_ID"}, {"value", "AKIA"}}}});
  services::ScopedHostedServices scoped_{services_};
};

TEST_F(AirflowTest, PromptIsExact) {
  EXPECT_EQ(AIRFLOW_SYSTEM_PROMPT, golden());
  EXPECT_TRUE(AIRFLOW_SYSTEM_PROMPT.ends_with("`af runs get <id> <run_id>`\n"));
}

struct CheckCase {
  const char* label;
  std::optional<std::pair<const char*, const char*>> env;  // one variable set in the process
  Json config;
  bool expected;
  int service_calls;
};

TEST_F(AirflowTest, CredentialCheck) {
  const std::vector<CheckCase> cases = {
      {"username set but empty",
       std::make_pair("AIRFLOW_USERNAME", ""),
       {{"configurable", {{"env_var_ids", {"url"}}}}},
       true,
       0},
      {"token set", std::make_pair("AIRFLOW_AUTH_TOKEN", "t"), Json::object(), true, 0},
      {"password alone does not count", std::make_pair("AIRFLOW_PASSWORD", "p"), Json::object(), false, 0},
      {"no configurable", std::nullopt, Json::object(), false, 0},
      {"no env_var_ids", std::nullopt, {{"configurable", {{"thread_id", "x"}}}}, false, 0},
      {"empty env_var_ids", std::nullopt, {{"configurable", {{"env_var_ids", Json::array()}}}}, false, 0},
      {"null env_var_ids", std::nullopt, {{"configurable", {{"env_var_ids", nullptr}}}}, false, 0},
      {"service returns only the password", std::nullopt, {{"configurable", {{"env_var_ids", {"pw"}}}}}, false, 1},
      {"service returns the URL among others",
       std::nullopt,
       {{"configurable", {{"env_var_ids", {"aws", "url", "pw"}}}}},
       true,
       1},
      {"unknown ids", std::nullopt, {{"configurable", {{"env_var_ids", {"nope"}}}}}, false, 1},
  };
  for (const auto& c : cases) {
    auto fresh = services_with(Json{{"url", {{"name", "AIRFLOW_API_URL"}, {"value", "u"}}},
                                    {"pw", {{"name", "AIRFLOW_PASSWORD"}, {"value", "p"}}},
                                    {"aws", {{"name", "AWS_ACCESS_KEY_ID"}, {"value", "a"}}}});
    services::ScopedHostedServices scoped(fresh);
    std::optional<base::ScopedEnv> env;
    if (c.env) env.emplace(c.env->first, c.env->second);
    host::ConfigScope config(c.config);
    EXPECT_EQ(_check_airflow_env_vars(), c.expected) << c.label;
    EXPECT_EQ(fresh->calls("get_env_vars_by_ids"), c.service_calls) << c.label;
  }
}

TEST_F(AirflowTest, BeforeAgentComputesTheFlagOncePerState) {
  AirflowMiddleware middleware;
  host::ConfigScope config(Json{{"configurable", {{"env_var_ids", {"url"}}}}});
  EXPECT_EQ(middleware.before_agent(Json::object(), {}), Json({{"has_airflow_env_vars", true}}));
  // Already decided (even as false): no update, no new check.
  EXPECT_FALSE(middleware.before_agent(Json{{"has_airflow_env_vars", false}}, {}).has_value());
  EXPECT_FALSE(middleware.before_agent(Json{{"has_airflow_env_vars", nullptr}}, {}).has_value());
  EXPECT_EQ(services_->calls("get_env_vars_by_ids"), 1);
  EXPECT_EQ(middleware.abefore_agent(Json::object(), {}).get(), Json({{"has_airflow_env_vars", true}}));
}

TEST_F(AirflowTest, ServiceErrorsReachTheCaller) {
  AirflowMiddleware middleware;
  services::ScopedHostedServices empty(nullptr);
  host::ConfigScope config(Json{{"configurable", {{"env_var_ids", {"url"}}}}});
  EXPECT_THROW(middleware.before_agent(Json::object(), {}), base::ModuleNotFoundError);
  std::future<host::StateUpdate> future = middleware.abefore_agent(Json::object(), {});
  EXPECT_THROW(future.get(), base::ModuleNotFoundError);
}

TEST_F(AirflowTest, ModelCallAppendsTheSectionOnlyWhenTheFlagIsTrue) {
  AirflowMiddleware middleware;
  struct Case {
    Json state;
    std::optional<std::string> prompt;
    std::optional<std::string> expected;  // nullopt: the request is passed on unchanged
  };
  const std::vector<Case> cases = {
      {{{"has_airflow_env_vars", true}}, std::nullopt, "\n\n" + AIRFLOW_SYSTEM_PROMPT},
      {{{"has_airflow_env_vars", true}}, "", "\n\n" + AIRFLOW_SYSTEM_PROMPT},
      {{{"has_airflow_env_vars", true}}, "Base prompt.", "Base prompt.\n\n" + AIRFLOW_SYSTEM_PROMPT},
      {{{"has_airflow_env_vars", false}}, "Base prompt.", std::nullopt},
      {Json::object(), "Base prompt.", std::nullopt},
      {Json::object(), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    host::ModelRequest request(c.state, c.prompt);
    std::optional<std::string> seen;
    host::ModelResponse response = middleware.wrap_model_call(request, [&](const host::ModelRequest& inner) {
      seen = inner.system_prompt();
      return host::ModelResponse{"answer", {}};
    });
    EXPECT_EQ(response.text, "answer");
    EXPECT_EQ(seen, c.expected ? c.expected : c.prompt) << c.state;

    std::optional<std::string> seen_async;
    middleware
        .awrap_model_call(request,
                          [&](const host::ModelRequest& inner) {
                            seen_async = inner.system_prompt();
                            return host::ready_future(host::ModelResponse{});
                          })
        .get();
    EXPECT_EQ(seen_async, seen);
  }
}

TEST_F(AirflowTest, ToolCallsPassThrough) {
  AirflowMiddleware middleware;
  host::ToolCallRequest request{{"id-1", "execute_sql_query", {{"query", "SELECT 1"}}}, Json::object(), Json::object()};
  host::ToolResult result = middleware.wrap_tool_call(request, [](const host::ToolCallRequest& inner) {
    return host::ToolResult(host::ToolMessage{inner.call.args.dump(), inner.call.id, inner.call.name});
  });
  const auto& message = std::get<host::ToolMessage>(result);
  EXPECT_EQ(message.content, "{\"query\":\"SELECT 1\"}");
  EXPECT_EQ(message.tool_call_id, "id-1");
  EXPECT_TRUE(middleware.tools().empty());
  EXPECT_EQ(middleware.state_schema(), std::vector<std::string>{"has_airflow_env_vars"});
}

}  // namespace
}  // namespace velko::middleware::airflow
