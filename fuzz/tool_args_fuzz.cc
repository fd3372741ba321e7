// libFuzzer target for the JSON text of `velko tool --args/--state/--config`
// (base::loads, velko/base/json.h) and the tool call it feeds (host::Agent::call_tool).
//
// The whole input is the option's text. Invariants, besides surviving ASan/UBSan:
//   - loads either returns or throws ValueError; try_loads agrees with it;
//   - text nested deeper than base::MAX_JSON_DEPTH is always refused, and an accepted
//     value's nesting is within the bound;
//   - the value's text form (base::dumps) reads back as the same value;
//   - a tool call with the value as arguments (and as state) never throws and answers a
//     message, an error text when the arguments do not fit the tool's parameters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/host/agent.h"

namespace {

using velko::Json;

class FuzzMiddleware : public velko::host::AgentMiddleware {
 public:
  FuzzMiddleware() {
    tools_.push_back(velko::host::Tool("echo", "Echo the arguments back.",
                                       {{"text", "string", "", true},
                                        {"count", "integer", "", false},
                                        {"ratio", "number", "", false},
                                        {"flag", "boolean", "", false},
                                        {"items", "array", "", false},
                                        {"extra", "object", "", false}},
                                       [](const Json& args, const velko::host::ToolRuntime& runtime) {
                                         return velko::base::dumps(args) + velko::base::dumps(runtime.state);
                                       }));
  }
  std::string name() const override { return "Fuzz"; }
};

const velko::host::Agent& agent() {
  static const velko::host::Agent instance(
      std::vector<std::shared_ptr<velko::host::AgentMiddleware>>{std::make_shared<FuzzMiddleware>()});
  return instance;
}

void check(bool condition) {
  if (!condition) std::abort();
}

// How deeply arrays and objects nest in `value` (a scalar is 0).
size_t depth_of(const Json& value) {
  size_t deepest = 0;
  if (value.is_array() || value.is_object()) {
    for (const auto& item : value) deepest = std::max(deepest, depth_of(item));
    return deepest + 1;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<Json> value;
  try {
    value = velko::base::loads(text);
  } catch (const velko::base::ValueError&) {
  } catch (...) {
    std::abort();
  }
  check(velko::base::try_loads(text).has_value() == value.has_value());
  if (!velko::base::json_depth_within(text)) check(!value.has_value());
  if (!value) return 0;
  check(depth_of(*value) <= velko::base::MAX_JSON_DEPTH);
  const std::optional<Json> again = velko::base::try_loads(velko::base::dumps(*value));
  check(again.has_value() && *again == *value);

  Json state = value->is_object() ? *value : Json::object();
  velko::host::ToolResult result;
  try {
    result = agent().call_tool(
        velko::host::ToolCallRequest{velko::host::ToolCall{"call-1", "echo", *value}, state, Json::object()});
  } catch (...) {
    std::abort();  // a tool never throws at the model
  }
  check(std::holds_alternative<velko::host::ToolMessage>(result));
  return 0;
}
