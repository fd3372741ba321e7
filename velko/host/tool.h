// A tool the model may call: a name, a description, the JSON Schema of its
// model-visible parameters, and a function from JSON arguments to text.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "velko/base/json.h"
#include "velko/host/types.h"

namespace velko::host {

// One model-visible parameter. type is a JSON Schema type name ("string", "integer",
// "number", "boolean", "object", "array").
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
  Json schema_;
  ToolFunction fn_;
};

}  // namespace velko::host
