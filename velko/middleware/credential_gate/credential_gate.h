// The mechanism shared by the middlewares that teach the model a service only when the
// user has credentials for it (Airflow, AWS): a credential check once per agent state,
// its answer kept under a state key, and a prompt section appended to every model call
// while that answer is true.
#pragma once

#include <functional>
#include <future>
#include <span>
#include <string>
#include <vector>

#include "velko/base/json.h"
#include "velko/host/middleware.h"

namespace velko::middleware::credential_gate {

// True when one of `names` is set in the process environment (any value, even empty);
// otherwise, when the run configuration's configurable.env_var_ids is non-empty, whether
// the hosted service returns one of `names` for them (the service is not asked for an
// absent or empty list; it may answer with an object keyed by name or a list of names).
// Errors of the run configuration and of the service propagate.
bool env_vars_available(std::span<const char* const> names);

// A middleware whose prompt section depends on a credential check. Tool calls pass
// through. It keeps nothing per invocation, so one instance serves concurrent
// invocations. Nothing is caught: the check's errors reach the caller of before_agent.
class CredentialGatedMiddleware : public host::RequestRewritingMiddleware {
 public:
  std::vector<std::string> state_schema() const override { return {state_key_}; }

  // No update when the state already holds the key (whatever its value); else
  // {state_key: check()}.
  host::StateUpdate before_agent(const Json& state, const host::Runtime& runtime) override;
  // The same check, run at once on the calling thread (where the run configuration is).
  std::future<host::StateUpdate> abefore_agent(const Json& state, const host::Runtime& runtime) override;

 protected:
  // `section` is appended to the system prompt after `separator` while state[state_key]
  // is present and not falsy; `check` answers whether the credentials are there.
  CredentialGatedMiddleware(std::string state_key, std::function<bool()> check, std::string separator,
                            std::string section);

  // The request the model should see: with the section when the state's flag is true.
  host::ModelRequest with_section(const host::ModelRequest& request) const;
  // The model calls see with_section(request).
  host::ModelRequest rewrite_request(const host::ModelRequest& request) const override { return with_section(request); }

 private:
  std::string state_key_;
  std::function<bool()> check_;
  std::string separator_;
  std::string section_;
};

}  // namespace velko::middleware::credential_gate
