// AWSMiddleware: tells the model it can reach AWS through the AWS command-line tool,
// only when the user has AWS credentials.
//
// Once per agent state (before_agent) it checks for AWS_ACCESS_KEY_ID and stores the
// answer under "has_aws_env_vars"; while that is true, every model call gets
// AWS_SYSTEM_PROMPT appended to its system prompt after one line feed. Tool calls pass
// through. It keeps nothing per invocation, so one instance serves concurrent
// invocations. Nothing is caught: errors of the run configuration or of the hosted
// environment-variables service reach the caller of before_agent.
#pragma once

#include <string>

#include "velko/middleware/credential_gate/credential_gate.h"

namespace velko::middleware::aws {

inline constexpr const char* LOGGER_NAME = "velko.middleware.aws";
// The agent-state key this middleware declares.
inline constexpr const char* HAS_AWS_ENV_VARS_KEY = "has_aws_env_vars";
// The one credential name that counts (AWS_SECRET_ACCESS_KEY and AWS_DEFAULT_REGION,
// named in the prompt, do not).
inline constexpr const char* AWS_KEY = "AWS_ACCESS_KEY_ID";

// The section appended to the system prompt (no line feed at its end).
extern const std::string AWS_SYSTEM_PROMPT;

// True when AWS_ACCESS_KEY_ID is set in the process environment (any value, even empty);
// otherwise, when the run configuration's configurable.env_var_ids is non-empty, whether
// the hosted service returns AWS_ACCESS_KEY_ID among the names for them (the service is
// not asked for an absent or empty list).
bool _check_aws_env_vars();

class AWSMiddleware : public credential_gate::CredentialGatedMiddleware {
 public:
  AWSMiddleware();

  std::string name() const override { return "AWSMiddleware"; }

  // The request the model should see: with the section when the state's flag is true.
  host::ModelRequest with_aws_section(const host::ModelRequest& request) const { return with_section(request); }
};

}  // namespace velko::middleware::aws
