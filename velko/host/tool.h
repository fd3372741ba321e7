// A tool the model may call: a name, a description, the JSON Schema of its
// model-visible parameters, and a function from JSON arguments to text.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"
#include "velko/host/types.h"

namespace velko::host {

// The JSON Schema types a parameter may have.
enum class ParamType { kString, kInteger, kNumber, kBoolean, kObject, kArray };

// The type named by a JSON Schema type name ("string", "integer", "number", "boolean",
// "object", "array"); nullopt for any other text.
std::optional<ParamType> parse_param_type(std::string_view name);
// Whether `value` is of `type` ("integer" takes whole numbers only; "number" any number).
bool has_param_type(const Json& value, ParamType type);

// One model-visible parameter. type is a JSON Schema type name (see ParamType).
struct ToolParam {
  std::string name;
  std::string type = "string";
  std::string description;
  bool required = true;
};

// The tool's body: receives the checked arguments and the injected runtime; returns the
// text the model sees. A tool catches its own ordinary errors and returns error text.
using ToolFunction = std::function<std::string(const Json& args, const ToolRuntime& runtime)>;

class Tool {
 public:
  Tool() = default;
  // Throws ValueError naming the parameter when a parameter's type is not a JSON Schema
  // type name: such a parameter would have no check.
  Tool(std::string name, std::string description, std::vector<ToolParam> params, ToolFunction fn);

  const std::string& name() const { return name_; }
  const std::string& description() const { return description_; }
  // The JSON Schema ({"type": "object", "properties": ..., "required": [...]}).
  const Json& input_schema() const { return schema_; }

  // Checks `args` against the schema, then runs the body. Throws TypeError (wrong type,
  // missing required parameter, not an object) before the body runs; unknown arguments
  // are ignored. Whatever the body throws propagates.
  std::string invoke(const Json& args, const ToolRuntime& runtime) const;

  // The check alone. Throws TypeError naming the parameter.
  void validate(const Json& args) const;

 private:
  std::string name_;
  std::string description_;
  std::vector<ToolParam> params_;
  std::vector<ParamType> types_;  // params_[i]'s type, parsed once
  Json schema_;
  ToolFunction fn_;
};

}  // namespace velko::host
