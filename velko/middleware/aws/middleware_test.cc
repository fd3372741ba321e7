#include "velko/middleware/aws/middleware.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/host/config.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::aws {
namespace {
namespace fs = std::filesystem;
namespace services = platform::services;

std::string golden() {
  fs::path dir = fs::path(__FILE__).parent_path();
  if (auto source = base::getenv_opt("VELKO_SOURCE_DIR")) dir = fs::path(*source) / "velko/middleware/aws";
  std::ifstream in(dir / "testdata" / "aws_system_prompt.txt", std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::shared_ptr<services::InMemoryServices> make_services() {
  return std::make_shared<services::InMemoryServices>(
      Json::object(), Json::object(),
      Json{{"key", {{"name", "AWS_ACCESS_KEY_ID"}, {"value", "AKIAEXAMPLE"}}},
           {"secret", {{"name", "AWS_SECRET_ACCESS_KEY"}, {"value", "s3cr3t"}}},
           {"region", {{"name", "AWS_DEFAULT_REGION"}, {"value", "eu-west-1"}}}});
}

// The AWS names are absent from the process environment while a test runs.
class AwsTest : public ::testing::Test {
 protected:
  base::ScopedEnv key_{"AWS_ACCESS_KEY_ID", std::nullopt};
  base::ScopedEnv secret_{"AWS_SECRET_ACCESS_KEY", std::nullopt};
  base::ScopedEnv region_{"AWS_DEFAULT_REGION", std::nullopt};
  std::shared_ptr<services::InMemoryServices> services_ = make_services();
  services::ScopedHostedServices scoped_{services_};
};

TEST_F(AwsTest, PromptIsExact) {
  EXPECT_EQ(AWS_SYSTEM_PROMPT, golden());
  EXPECT_TRUE(AWS_SYSTEM_PROMPT.ends_with("AWS_DEFAULT_REGION)."));
}

struct CheckCase {
  const char* label;
  std::optional<std::pair<const char*, const char*>> env;
  Json config;
  bool expected;
  int service_calls;
};

TEST_F(AwsTest, CredentialCheck) {
  const std::vector<CheckCase> cases = {
      {"key set but empty",
       std::make_pair("AWS_ACCESS_KEY_ID", ""),
       {{"configurable", {{"env_var_ids", {"key"}}}}},
       true,
       0},
      {"secret alone in the environment", std::make_pair("AWS_SECRET_ACCESS_KEY", "s"), Json::object(), false, 0},
      {"no configurable", std::nullopt, Json::object(), false, 0},
      {"empty env_var_ids", std::nullopt, {{"configurable", {{"env_var_ids", Json::array()}}}}, false, 0},
      {"only the secret stored", std::nullopt, {{"configurable", {{"env_var_ids", {"secret", "region"}}}}}, false, 1},
      {"key stored", std::nullopt, {{"configurable", {{"env_var_ids", {"region", "key"}}}}}, true, 1},
  };
  for (const auto& c : cases) {
    auto fresh = make_services();
    services::ScopedHostedServices scoped(fresh);
    std::optional<base::ScopedEnv> env;
    if (c.env) env.emplace(c.env->first, c.env->second);
    host::ConfigScope config(c.config);
    EXPECT_EQ(_check_aws_env_vars(), c.expected) << c.label;
    EXPECT_EQ(fresh->calls("get_env_vars_by_ids"), c.service_calls) << c.label;
  }
}

TEST_F(AwsTest, BeforeAgentComputesTheFlagOncePerState) {
  AWSMiddleware middleware;
  host::ConfigScope config(Json{{"configurable", {{"env_var_ids", {"key"}}}}});
  EXPECT_EQ(middleware.before_agent(Json::object(), {}), Json({{"has_aws_env_vars", true}}));
  EXPECT_FALSE(middleware.before_agent(Json{{"has_aws_env_vars", false}}, {}).has_value());
  EXPECT_EQ(services_->calls("get_env_vars_by_ids"), 1);
  EXPECT_EQ(middleware.abefore_agent(Json::object(), {}).get(), Json({{"has_aws_env_vars", true}}));

  services::ScopedHostedServices empty(nullptr);
  EXPECT_THROW(middleware.before_agent(Json::object(), {}), base::ModuleNotFoundError);
}

TEST_F(AwsTest, ModelCallAppendsTheSectionAfterOneLineBreak) {
  AWSMiddleware middleware;
  struct Case {
    Json state;
    std::optional<std::string> prompt;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{{"has_aws_env_vars", true}}, std::nullopt, "\n" + AWS_SYSTEM_PROMPT},
      {{{"has_aws_env_vars", true}}, "Base prompt.", "Base prompt.\n" + AWS_SYSTEM_PROMPT},
      {{{"has_aws_env_vars", false}}, "Base prompt.", std::nullopt},
      {Json::object(), std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<std::string> seen;
    middleware.wrap_model_call(host::ModelRequest(c.state, c.prompt), [&](const host::ModelRequest& inner) {
      seen = inner.system_prompt();
      return host::ModelResponse{};
    });
    EXPECT_EQ(seen, c.expected ? c.expected : c.prompt) << c.state;
    std::optional<std::string> seen_async;
    middleware
        .awrap_model_call(host::ModelRequest(c.state, c.prompt),
                          [&](const host::ModelRequest& inner) {
                            seen_async = inner.system_prompt();
                            return host::ready_future(host::ModelResponse{});
                          })
        .get();
    EXPECT_EQ(seen_async, seen);
  }
}

}  // namespace
}  // namespace velko::middleware::aws
