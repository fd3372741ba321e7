#include "velko/middleware/airflow/middleware.h"

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

bool _check_airflow_env_vars() { return credential_gate::env_vars_available(airflow_keys); }

AirflowMiddleware::AirflowMiddleware()
    : CredentialGatedMiddleware(HAS_AIRFLOW_ENV_VARS_KEY, &_check_airflow_env_vars, "\n\n", AIRFLOW_SYSTEM_PROMPT) {}

}  // namespace velko::middleware::airflow
