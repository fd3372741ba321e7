// DataAnalysisMiddleware: connects the model to the user's warehouse.
//
// Its constructor builds the data-analysis tools (SQL query, schema exploration and, by
// mode, a chart tool); around every model call it appends a database-context block
// (connection name, type and SQL dialect) to the system prompt; tool calls pass through
// untouched. It holds only values fixed at construction, so one instance serves
// concurrent invocations.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "velko/base/run_mode.h"
#include "velko/host/backend.h"
#include "velko/host/middleware.h"

namespace velko::platform::storage {
class S3Storage;
}

namespace velko::middleware::analyst {

// The agent-state key this middleware declares.
inline constexpr const char* CONNECTION_ID_KEY = "connection_id";

// Connection type -> the dialect name shown to the model, in display order.
extern const std::vector<std::pair<std::string, std::string>> DIALECT_HINTS;

// The block "\n### Database Connection\nYou are connected to a **{type}** database
// ({database}).\nSQL dialect: **{dialect}**\nUse {dialect} syntax for all queries."
// Throws KeyError "'type'" when the config has no type.
std::string _build_database_context(const Json& config);

// The state's connection_id when it is text, else nullopt.
std::optional<std::string> connection_id_of(const Json& state);

class DataAnalysisMiddleware : public host::RequestRewritingMiddleware {
 public:
  // backend: the sandbox for web-mode charts (may be null). mode: "cli" or "web"
  // (ValueError for any other text).
  // cwd: the user's working directory, handed to the local chart tool.
  explicit DataAnalysisMiddleware(std::shared_ptr<host::BackendProtocol> backend = nullptr, std::string mode = "web",
                                  std::optional<std::string> cwd = std::nullopt);

  std::string name() const override { return "DataAnalysisMiddleware"; }
  std::vector<std::string> state_schema() const override { return {CONNECTION_ID_KEY}; }
  std::string mode() const { return base::run_mode_name(mode_); }

  // The request the model should see: `request` with the block appended, or `request`
  // unchanged when no configuration is found or anything in the look-up fails (the
  // failure is dropped; nothing is logged). Never throws an ordinary error.
  host::ModelRequest enrich(const host::ModelRequest& request) const;

 protected:
  // The model calls see enrich(request): the handler is called exactly once, with the
  // enriched request or the unchanged one, and its exceptions propagate (a failed model
  // call is never retried without the block).
  host::ModelRequest rewrite_request(const host::ModelRequest& request) const override { return enrich(request); }

 private:
  const base::RunMode mode_;
};

}  // namespace velko::middleware::analyst
