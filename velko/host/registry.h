// Registry: where each module registers its factories by name, so the velko command and
// embedders build middlewares, backends and operations by name. A plug-in's entry point
// hands its factories to a Registry (a client module also adds its client factories to
// platform::search_subagents::ClientFactories) and does nothing else.
//
// Thread-safe: registration and look-up may happen from any thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/json.h"
#include "velko/base/named_table.h"
#include "velko/host/backend.h"
#include "velko/host/middleware.h"

namespace velko::host {

// What a middleware factory may use.
struct MiddlewareContext {
  std::string mode = "web";
  std::shared_ptr<BackendProtocol> backend;
  std::optional<std::string> cwd;
  std::optional<std::string> skills_dir;
};

using MiddlewareFactory = std::function<std::shared_ptr<AgentMiddleware>(const MiddlewareContext&)>;
using BackendFactory = std::function<std::shared_ptr<BackendProtocol>(const Json& options)>;
// A named operation with JSON arguments and a JSON result (clients, sub-agent assembly,
// engine factories). Throws the module's errors.
using Operation = std::function<Json(const Json& args)>;

class Registry {
 public:
  // Each add_ replaces an earlier entry of the same name.
  void add_middleware(const std::string& name, MiddlewareFactory factory);
  void add_backend(const std::string& name, BackendFactory factory);
  void add_operation(const std::string& name, Operation operation);

  // nullopt when nothing of that name is registered.
  std::optional<MiddlewareFactory> middleware(const std::string& name) const;
  std::optional<BackendFactory> backend(const std::string& name) const;
  std::optional<Operation> operation(const std::string& name) const;

  std::vector<std::string> middleware_names() const;  // in registration order
  std::vector<std::string> backend_names() const;
  std::vector<std::string> operation_names() const;

 private:
  base::NamedTable<MiddlewareFactory> middlewares_;
  base::NamedTable<BackendFactory> backends_;
  base::NamedTable<Operation> operations_;
};

}  // namespace velko::host
