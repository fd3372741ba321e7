#include "velko/platform/sandbox/module.h"

#include "velko/base/json_args.h"
#include "velko/platform/sandbox/e2b_backend.h"

namespace velko::platform::sandbox {
namespace {

constexpr long long MAX_TIMEOUT_SECONDS = 86400;

}  // namespace

std::shared_ptr<host::BackendProtocol> make_e2b_backend(const Json& options) {
  base::JsonArgs args(options, host::backend_options_style("e2b"));
  args.refuse_unknown({"timeout", "id", "cwd"});
  int timeout = static_cast<int>(args.integer("timeout", host::SANDBOX_TIMEOUT_SECONDS, 1, MAX_TIMEOUT_SECONDS));
  auto backend = std::make_shared<E2BBackend>(timeout);
  if (args.has("id")) backend->set_id(args.text("id"));
  if (args.has("cwd")) backend->set_cwd(args.text("cwd"));
  return backend;
}

void register_module(host::Registry& registry) { registry.add_backend("e2b", &make_e2b_backend); }

}  // namespace velko::platform::sandbox
