#include "velko/host/tool.h"

#include "velko/base/errors.h"

namespace velko::host {
namespace {

bool has_type(const Json& value, const std::string& type) {
  if (type == "string") return value.is_string();
  if (type == "integer") return value.is_number_integer() || value.is_number_unsigned();
  if (type == "number") return value.is_number();
  if (type == "boolean") return value.is_boolean();
  if (type == "object") return value.is_object();
  if (type == "array") return value.is_array();
  return true;
}

}  // namespace

Tool::Tool(std::string name, std::string description, std::vector<ToolParam> params, ToolFunction fn)
    : name_(std::move(name)), description_(std::move(description)), params_(std::move(params)), fn_(std::move(fn)) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const auto& param : params_) {
    Json property = {{"type", param.type}};
    if (!param.description.empty()) property["description"] = param.description;
    properties[param.name] = property;
    if (param.required) required.push_back(param.name);
  }
  schema_ = {{"type", "object"}, {"properties", properties}, {"required", required}};
}

void Tool::validate(const Json& args) const {
  if (!args.is_object()) throw base::TypeError("arguments must be a JSON object");
  for (const auto& param : params_) {
    auto found = args.find(param.name);
    if (found == args.end() || found->is_null()) {
      if (param.required) throw base::TypeError("missing required argument '" + param.name + "'");
      continue;
    }
    if (!has_type(*found, param.type)) {
      throw base::TypeError("argument '" + param.name + "' must be of type " + param.type);
    }
  }
}

std::string Tool::invoke(const Json& args, const ToolRuntime& runtime) const {
  validate(args);
  return fn_(args, runtime);
}

}  // namespace velko::host
