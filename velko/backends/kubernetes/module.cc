#include "velko/backends/kubernetes/module.h"

#include <limits>

#include "velko/backends/kubernetes/kubernetes_backend.h"
#include "velko/base/json_args.h"

namespace velko::backends::kubernetes {

std::shared_ptr<host::BackendProtocol> make_backend(const Json& options) {
  base::JsonArgs args(options, host::backend_options_style("kubernetes"));
  args.refuse_unknown({"namespace", "timeout", "id", "cwd"});
  // At most INT_MAX / 1000 seconds, the backend's limit.
  int timeout =
      static_cast<int>(args.integer("timeout", DEFAULT_TIMEOUT_SECONDS, 0, std::numeric_limits<int>::max() / 1000));
  auto backend = std::make_shared<KubernetesBackend>(args.nullable_text("namespace"), timeout);
  if (args.has("id")) backend->set_id(args.text("id"));
  if (args.has("cwd")) backend->set_cwd(args.text("cwd"));
  return backend;
}

void register_module(host::Registry& registry) { registry.add_backend("kubernetes", &make_backend); }

}  // namespace velko::backends::kubernetes
