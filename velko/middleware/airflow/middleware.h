// AirflowMiddleware: teaches the model to operate Airflow through the `af` command-line
// tool, only when the user has Airflow credentials.
//
// Once per agent state (before_agent) it checks for credentials and stores the answer
// under "has_airflow_env_vars"; while that is true, every model call gets
// AIRFLOW_SYSTEM_PROMPT appended to its system prompt after a blank line. Tool calls pass
// through. It keeps nothing per invocation, so one instance serves concurrent
// invocations. Nothing is caught: errors of the run configuration or of the hosted
// environment-variables service reach the caller of before_agent.
#pragma once

#include <array>
#include <string>

#include "velko/middleware/credential_gate/credential_gate.h"

namespace velko::middleware::airflow {

inline constexpr const char* LOGGER_NAME = "velko.middleware.airflow";
// The agent-state key this middleware declares.
inline constexpr const char* HAS_AIRFLOW_ENV_VARS_KEY = "has_airflow_env_vars";
// The credential names that count (AIRFLOW_PASSWORD, named in the prompt, does not).
inline constexpr std::array<const char*, 3> airflow_keys = {"AIRFLOW_API_URL", "AIRFLOW_AUTH_TOKEN",
                                                            "AIRFLOW_USERNAME"};

// The section appended to the system prompt (ends with one line feed).
extern const std::string AIRFLOW_SYSTEM_PROMPT;

// True when a name of airflow_keys is set in the process environment (any value, even
// empty); otherwise, when the run configuration's configurable.env_var_ids is non-empty,
// whether the hosted service returns a name of airflow_keys for them (the service is not
// asked for an absent or empty list).
bool _check_airflow_env_vars();

class AirflowMiddleware : public credential_gate::CredentialGatedMiddleware {
 public:
  AirflowMiddleware();

  std::string name() const override { return "AirflowMiddleware"; }

  // The request the model should see: with the section when the state's flag is true.
  host::ModelRequest with_airflow_section(const host::ModelRequest& request) const { return with_section(request); }
};

}  // namespace velko::middleware::airflow
