#include "velko/platform/sandbox/sandbox.h"

#include <mutex>

#include "velko/platform/sandbox/local_sandbox.h"

namespace velko::platform::sandbox {
namespace {

// The process-wide provider slot: set by ScopedSandboxProvider (tests) or on first use to
// the local provider, kept until the process ends. Readers take a shared_ptr copy under
// slot_mu, so a provider replaced meanwhile lives until its last call returns.
std::mutex slot_mu;
std::shared_ptr<SandboxProvider> slot;  // guarded by slot_mu; null means the local default

std::shared_ptr<SandboxProvider> current_provider() {
  std::lock_guard<std::mutex> lock(slot_mu);
  if (!slot) slot = std::make_shared<LocalSandboxProvider>();
  return slot;
}

}  // namespace

std::shared_ptr<Sandbox> connect(const std::string& id, int timeout_seconds) {
  return current_provider()->connect(id, timeout_seconds);
}

std::shared_ptr<SandboxProvider> set_sandbox_provider(std::shared_ptr<SandboxProvider> provider) {
  std::lock_guard<std::mutex> lock(slot_mu);
  std::shared_ptr<SandboxProvider> previous = std::move(slot);
  slot = std::move(provider);
  return previous;
}

}  // namespace velko::platform::sandbox
