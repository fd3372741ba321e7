#include "velko/middleware/aws/middleware.h"

#include <exception>

#include "velko/base/env.h"
#include "velko/host/config.h"
#include "velko/middleware/aws/credentials.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::aws {

const std::string AWS_SYSTEM_PROMPT =
    R"(## AWS CLI

You have access to AWS services through the AWS CLI.
Use the `bash` tool to run AWS commands like:
- `aws s3 ls` - List S3 buckets
- `aws s3 cp <source> <dest>` - Copy files to/from S3
- `aws s3 sync <source> <dest>` - Sync directories

AWS credentials are configured via environment variables (AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_DEFAULT_REGION).)";

bool _check_aws_env_vars() {
  if (base::getenv_opt(AWS_KEY)) return true;
  Json env_var_ids = env_var_ids_of(host::get_configurable());
  if (is_falsy(env_var_ids)) return false;
  for (const std::string& name : returned_names(platform::services::get_env_vars_by_ids(env_var_ids))) {
    if (name == AWS_KEY) return true;
  }
  return false;
}

host::StateUpdate AWSMiddleware::before_agent(const Json& state, const host::Runtime&) {
  if (state.is_object() && state.contains(HAS_AWS_ENV_VARS_KEY)) return std::nullopt;
  Json update = Json::object();
  update[HAS_AWS_ENV_VARS_KEY] = _check_aws_env_vars();
  return update;
}

std::future<host::StateUpdate> AWSMiddleware::abefore_agent(const Json& state, const host::Runtime& runtime) {
  std::promise<host::StateUpdate> promise;
  try {
    promise.set_value(before_agent(state, runtime));
  } catch (...) {
    promise.set_exception(std::current_exception());
  }
  return promise.get_future();
}

host::ModelRequest AWSMiddleware::with_aws_section(const host::ModelRequest& request) const {
  if (!flag_set(request.state(), HAS_AWS_ENV_VARS_KEY)) return request;
  return request.override_system_prompt(request.system_prompt_text() + "\n" + AWS_SYSTEM_PROMPT);
}

host::ModelResponse AWSMiddleware::wrap_model_call(const host::ModelRequest& request,
                                                   const host::ModelHandler& handler) {
  return handler(with_aws_section(request));
}

std::future<host::ModelResponse> AWSMiddleware::awrap_model_call(const host::ModelRequest& request,
                                                                 host::AsyncModelHandler handler) {
  return handler(with_aws_section(request));
}

}  // namespace velko::middleware::aws
