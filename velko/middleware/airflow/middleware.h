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

#include "velko/host/middleware.h"

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

class AirflowMiddleware : public host::AgentMiddleware {
 public:
  AirflowMiddleware() = default;

  std::string name() const override { return "AirflowMiddleware"; }
  std::vector<std::string> state_schema() const override { return {HAS_AIRFLOW_ENV_VARS_KEY}; }

  // No update when the state already holds the key (whatever its value); else
  // {"has_airflow_env_vars": _check_airflow_env_vars()}.
  host::StateUpdate before_agent(const Json& state, const host::Runtime& runtime) override;
  // The same check, run at once on the calling thread.
  std::future<host::StateUpdate> abefore_agent(const Json& state, const host::Runtime& runtime) override;

  host::ModelResponse wrap_model_call(const host::ModelRequest& request, const host::ModelHandler& handler) override;
  std::future<host::ModelResponse> awrap_model_call(const host::ModelRequest& request,
                                                    host::AsyncModelHandler handler) override;

  // The request the model should see: with the section when the state's flag is true.
  host::ModelRequest with_airflow_section(const host::ModelRequest& request) const;
};

}  // namespace velko::middleware::airflow
