// Registry: where each module registers its factories by name, so the velko command and
// embedders build middlewares, backends and operations by name, and modules find the
// components other modules offer (the search clients' factories, say). A plug-in's entry
// point hands everything it offers to the Registry it is given and does nothing else; the
// registry is the one table a plug-in writes to.
//
// Components are values of types this layer does not know. Each belongs to a kind, a
// ComponentKind<T> that names it and fixes its type T; the module that defines the type
// declares the kind once, and both the providing and the using module go through it:
//
//   inline constexpr host::ComponentKind<WebSearchClientFactory> WEB_SEARCH_CLIENTS{"web search client"};
//   registry.add_component(WEB_SEARCH_CLIENTS, "tavily_proxy", factory);      // provider
//   if (auto make = registry.component(WEB_SEARCH_CLIENTS, "tavily_proxy")) ...  // user
//
// Each kind has names of its own. A value is handed out only as the type it was added as:
// a look-up through a kind of the same name but another type (a plug-in built against
// another version of the type) throws TypeError naming the kind and the component.
//
// Values may point into plug-ins, which are never unloaded, so an entry stays callable for
// as long as the registry lives. Thread-safe: registration and look-up may happen from any
// thread; look-ups hand out copies, called outside the registry's locks.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/base/json_args.h"
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

// How a backend factory reads its options with base::JsonArgs: null is no options; any
// other non-object is ValueError "Backend options must be a JSON object, not array"; an
// unknown name (refuse_unknown) is ValueError "Unknown option 'pod' for the <backend>
// backend"; a value of the wrong type, null included unless the reading allows null, is
// TypeError "Option 'id' must be text, not number" ("an integer" for integers); an integer
// (a number of seconds) out of range is ValueError "Option 'timeout' must be between 1 and
// 86400 seconds".
base::JsonArgsStyle backend_options_style(std::string_view backend);

// A named operation with JSON arguments and a JSON result (clients, sub-agent assembly,
// engine factories). Throws the module's errors.
using Operation = std::function<Json(const Json& args)>;

// The kind of a component: its name ("web search client") and, as T, its type.
template <typename T>
struct ComponentKind {
  static_assert(std::is_copy_constructible_v<T>, "a component is handed out by copy");
  std::string_view name;
};

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

  // Adds component `name` of `kind`, replacing an earlier one of that kind and name.
  template <typename T>
  void add_component(const ComponentKind<T>& kind, const std::string& name, std::type_identity_t<T> value) {
    components_of(kind.name).put(name, std::any(std::move(value)));
  }

  // Component `name` of `kind`; nullopt when none of that kind has that name. TypeError
  // "The <kind> '<name>' was registered with another type than this program uses" when
  // the entry of that kind and name holds another type than T.
  template <typename T>
  std::optional<T> component(const ComponentKind<T>& kind, const std::string& name) const {
    const base::NamedTable<std::any>* table = find_components_of(kind.name);
    if (table == nullptr) return std::nullopt;
    std::optional<std::any> stored = table->get(name);
    if (!stored) return std::nullopt;
    if (const T* value = std::any_cast<T>(&*stored)) return *value;
    throw base::TypeError("The " + std::string(kind.name) + " '" + name +
                          "' was registered with another type than this program uses");
  }

  // The names of `kind`'s components, in the order first added.
  template <typename T>
  std::vector<std::string> component_names(const ComponentKind<T>& kind) const {
    const base::NamedTable<std::any>* table = find_components_of(kind.name);
    return table == nullptr ? std::vector<std::string>{} : table->names();
  }

 private:
  // The table of a kind, made on first use; tables are never removed, so the reference
  // stays valid for the registry's life.
  base::NamedTable<std::any>& components_of(std::string_view kind);
  const base::NamedTable<std::any>* find_components_of(std::string_view kind) const;

  base::NamedTable<MiddlewareFactory> middlewares_;
  base::NamedTable<BackendFactory> backends_;
  base::NamedTable<Operation> operations_;
  mutable std::mutex components_mu_;
  std::map<std::string, std::unique_ptr<base::NamedTable<std::any>>, std::less<>>
      components_;  // guarded by components_mu_
};

}  // namespace velko::host
