#include "velko/middleware/airflow/middleware.h"

#include <exception>

#include "velko/base/env.h"
#include "velko/host/config.h"
#include "velko/middleware/airflow/credentials.h"
#include "velko/platform/services/hosted_services.h"

namespace velko::middleware::airflow {

const std::string AIRFLOW_SYSTEM_PROMPT = R"(## Airflow

You have access to Airflow via the `af` CLI tool.

### Running the CLI
```bash
uvx --from astro-airflow-mcp@latest af <command>
```

### Authentication
Environment variables: AIRFLOW_AUTH_TOKEN, AIRFLOW_API_URL, AIRFLOW_USERNAME, AIRFLOW_PASSWORD

### Quick Reference
| Command | Description |
|---------|-------------|
| `af --help` | Show all available commands |
| `af health` | System health check |
| `af dags list` | List all DAGs |
| `af dags get <id>` | Get DAG details |
| `af dags explore <id>` | Full DAG investigation |
| `af dags source <id>` | Get DAG source code |
| `af dags pause/unpause <id>` | Pause/resume scheduling |
| `af dags errors` | List import errors |
| `af runs list --dag-id <id>` | List DAG runs |
| `af runs trigger <id>` | Trigger a DAG run |
| `af runs trigger-wait <id>` | Trigger and wait |
| `af runs diagnose <id> <run_id>` | Diagnose failed run |
| `af tasks list <id>` | List tasks in DAG |
| `af tasks logs <id> <run_id> <task_id>` | Get task logs |
| `af config connections` | List connections |
| `af config variables` | List variables |
| `af config pools` | List pools |
| `af api <endpoint>` | Direct REST API access |
| `af api ls` | List API endpoints |

### Common Workflows

**Investigate Failed Run:**
1. `af runs list --dag-id <id>` - find failure
2. `af runs diagnose <id> <run_id>` - diagnose
3. `af tasks logs <id> <run_id> <task_id>` - get logs

**Health Check:**
`af health` → `af dags errors` → `af config pools`

**DAG Not Running?**
`af dags get <id>` (paused?) → `af dags errors` (import error?) → `af runs list --dag-id <id>`

**Trigger & Monitor:**
`af runs trigger-wait <id> --timeout 1800` (blocking) or `af runs trigger <id>` then `af runs get <id> <run_id>`
)";

bool _check_airflow_env_vars() {
  for (const char* key : airflow_keys) {
    if (base::getenv_opt(key)) return true;
  }
  Json env_var_ids = env_var_ids_of(host::get_configurable());
  if (is_falsy(env_var_ids)) return false;
  for (const std::string& name : returned_names(platform::services::get_env_vars_by_ids(env_var_ids))) {
    for (const char* key : airflow_keys) {
      if (name == key) return true;
    }
  }
  return false;
}

host::StateUpdate AirflowMiddleware::before_agent(const Json& state, const host::Runtime&) {
  if (state.is_object() && state.contains(HAS_AIRFLOW_ENV_VARS_KEY)) return std::nullopt;
  Json update = Json::object();
  update[HAS_AIRFLOW_ENV_VARS_KEY] = _check_airflow_env_vars();
  return update;
}

std::future<host::StateUpdate> AirflowMiddleware::abefore_agent(const Json& state, const host::Runtime& runtime) {
  std::promise<host::StateUpdate> promise;
  try {
    promise.set_value(before_agent(state, runtime));
  } catch (...) {
    promise.set_exception(std::current_exception());
  }
  return promise.get_future();
}

host::ModelRequest AirflowMiddleware::with_airflow_section(const host::ModelRequest& request) const {
  if (!flag_set(request.state(), HAS_AIRFLOW_ENV_VARS_KEY)) return request;
  return request.override_system_prompt(request.system_prompt_text() + "\n\n" + AIRFLOW_SYSTEM_PROMPT);
}

host::ModelResponse AirflowMiddleware::wrap_model_call(const host::ModelRequest& request,
                                                       const host::ModelHandler& handler) {
  return handler(with_airflow_section(request));
}

std::future<host::ModelResponse> AirflowMiddleware::awrap_model_call(const host::ModelRequest& request,
                                                                     host::AsyncModelHandler handler) {
  return handler(with_airflow_section(request));
}

}  // namespace velko::middleware::airflow
