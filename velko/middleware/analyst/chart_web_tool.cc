#include "velko/middleware/analyst/chart_web_tool.h"

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/middleware/analyst/chart_support.h"
#include "velko/middleware/analyst/connection_string.h"
#include "velko/middleware/analyst/middleware.h"
#include "velko/middleware/analyst/tools.h"
#include "velko/platform/sandbox/sandbox.h"
#include "velko/platform/services/hosted_services.h"
#include "velko/platform/storage/s3_storage.h"

namespace velko::middleware::analyst {

const char* const WEB_CHART_DESCRIPTION =
    "Execute Python code to generate charts using seaborn and matplotlib. Use query_db(sql) to fetch data from the "
    "database as a pandas DataFrame. (use SQL dialect for your database type). Save charts using "
    "plt.savefig('chart_name.png'). Example: df = query_db('SELECT date, value FROM metrics'); "
    "sns.lineplot(data=df, x='date', y='value'); plt.savefig('trend.png'). IMPORTANT: When reporting results, only "
    "mention filenames. Never display URLs to users.";

namespace {

constexpr const char* WORK_DIR_PREFIX = "/home/user/.velko/charts/";

std::string content_type_of(const std::string& filename) {
  if (base::ends_with(filename, ".jpg") || base::ends_with(filename, ".jpeg")) return "image/jpeg";
  return "image/png";
}

std::string generate_charts(host::BackendProtocol& backend, platform::storage::S3Storage& s3,
                            const std::string& python_code, const host::ToolRuntime& runtime) {
  std::optional<std::string> connection_id = connection_id_of(runtime.state);
  if (runtime.tool_call_id.empty()) return chart_failure("Missing tool_call_id");
  const std::string safe_id = _safe_tool_call_id(runtime.tool_call_id);
  const std::string work_dir = WORK_DIR_PREFIX + safe_id;

  std::string connection_string;
  Json config;
  try {
    if (connection_id && !connection_id->empty()) {
      config = platform::services::get_database_config(*connection_id);
      if (config.is_object() && !config.empty()) connection_string = _build_connection_string(config);
    }
  } catch (const std::exception& error) {
    return chart_failure(std::string("Failed to get database config: ") + error.what());
  }
  SecretRedactor redactor(connection_string, config);
  redactor.add_stored_secrets();
  const std::string script = _build_web_chart_script(work_dir, python_code, !connection_string.empty());

  const base::CancelSignalPtr& cancel = runtime.cancel;
  try {
    backend.execute_cancellable("mkdir -p " + work_dir, std::nullopt, cancel);
    std::shared_ptr<platform::sandbox::Sandbox> sandbox = platform::sandbox::connect(backend.id());
    sandbox->files().write(work_dir + "/charts.py", script);

    std::optional<host::EnvMap> envs;
    if (!connection_string.empty()) {
      envs = host::EnvMap{{"VELKO_CONNECTION_STRING", connection_string}};
      add_read_only_session(connection_string, *envs);
    }
    base::throw_if_cancelled(cancel);
    host::ExecuteResponse run = backend.execute_cancellable("cd " + work_dir + " && python charts.py", envs, cancel);
    base::throw_if_cancelled(cancel);
    if (run.exit_code != 0) return chart_failure(redactor.redact("Script execution failed: " + run.output));

    host::ExecuteResponse listing = backend.execute_cancellable(
        "ls " + work_dir + "/*.png " + work_dir + "/*.jpg 2>/dev/null || true", std::nullopt, cancel);
    base::throw_if_cancelled(cancel);
    // The listing always succeeds in a working sandbox; a failure here is the backend's
    // own error text, not a list of paths.
    if (listing.exit_code != 0) return chart_failure(redactor.redact(listing.output));
    std::vector<std::string> paths;
    for (std::string_view line : base::split(listing.output, '\n')) {
      std::string_view path = base::strip(line);
      if (!path.empty()) paths.emplace_back(path);
    }
    if (paths.empty()) return chart_failure(NO_IMAGES_ERROR);

    Json charts = Json::array();
    for (const std::string& path : paths) {
      std::string filename = path.substr(path.rfind('/') + 1);
      std::string data = sandbox->files().read(path, "bytes");
      // A file name is script output too: it is shown, and stored, without secrets.
      filename = redactor.redact(filename);
      Json uploaded = s3.upload_chart("charts/" + safe_id + "/" + filename, data, content_type_of(filename));
      Json entry = Json::object();
      entry["url"] = uploaded.at("url");
      entry["key"] = uploaded.at("key");
      entry["filename"] = filename;
      charts.push_back(std::move(entry));
    }
    backend.execute_cancellable("rm -rf " + work_dir, std::nullopt, cancel);
    return chart_success(charts);
  } catch (const std::exception& error) {
    return chart_failure(redactor.redact(error.what()));
  }
}

}  // namespace

std::string _build_web_chart_script(const std::string& work_dir, const std::string& python_code, bool has_connection) {
  std::string script = std::string(CHART_SCRIPT_PREAMBLE) +
                       "\n"
                       "os.makedirs(\"" +
                       work_dir +
                       "\", exist_ok=True)\n"
                       "os.chdir(\"" +
                       work_dir +
                       "\")\n"
                       "\n";
  if (has_connection) {
    script +=
        "\n"
        "from sqlalchemy import create_engine\n"
        "\n"
        "_engine = create_engine(os.environ[\"VELKO_CONNECTION_STRING\"])\n"
        "\n"
        "def query_db(sql: str) -> pd.DataFrame:\n"
        "    \"\"\"Execute SQL query and return results as a pandas DataFrame.\"\"\"\n"
        "    return pd.read_sql(sql, _engine)\n"
        "\n";
  } else {
    script +=
        "\n"
        "def query_db(sql: str) -> pd.DataFrame:\n"
        "    \"\"\"Database not configured.\"\"\"\n"
        "    raise RuntimeError(\"No database connection configured. Set connection_id in state.\")\n"
        "\n";
  }
  script += "\n# User code\n" + python_code + "\n\n# Ensure all figures are saved\nplt.close(\"all\")\n";
  return script;
}

host::Tool _generate_charts_web_tool_generator(std::shared_ptr<host::BackendProtocol> backend,
                                               std::shared_ptr<platform::storage::S3Storage> s3) {
  return host::Tool("generate_charts", WEB_CHART_DESCRIPTION, {host::ToolParam{"python_code", "string", "", true}},
                    [backend, s3](const Json& args, const host::ToolRuntime& runtime) {
                      if (!backend || !s3) return chart_failure("No sandbox backend or storage configured");
                      return generate_charts(*backend, *s3, args.at("python_code").get<std::string>(), runtime);
                    });
}

std::shared_ptr<platform::storage::S3Storage> make_default_storage() {
  return std::make_shared<platform::storage::S3Storage>();
}

}  // namespace velko::middleware::analyst
