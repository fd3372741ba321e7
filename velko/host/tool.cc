#include "velko/host/tool.h"

#include "velko/base/errors.h"

namespace velko::host {
std::optional<ParamType> parse_param_type(std::string_view name) {
  if (name == "string") return ParamType::kString;
  if (name == "integer") return ParamType::kInteger;
  if (name == "number") return ParamType::kNumber;
  if (name == "boolean") return ParamType::kBoolean;
  if (name == "object") return ParamType::kObject;
  if (name == "array") return ParamType::kArray;
  return std::nullopt;
}

bool has_param_type(const Json& value, ParamType type) {
  switch (type) {
    case ParamType::kString:
      return value.is_string();
    case ParamType::kInteger:
      return value.is_number_integer() || value.is_number_unsigned();
    case ParamType::kNumber:
      return value.is_number();
    case ParamType::kBoolean:
      return value.is_boolean();
    case ParamType::kObject:
      return value.is_object();
    case ParamType::kArray:
      return value.is_array();
  }
  return false;
}

Tool::Tool(std::string name, std::string description, std::vector<ToolParam> params, ToolFunction fn)
    : name_(std::move(name)), description_(std::move(description)), params_(std::move(params)), fn_(std::move(fn)) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const auto& param : params_) {
    std::optional<ParamType> type = parse_param_type(param.type);
    if (!type) {
      throw base::ValueError("Tool '" + name_ + "': parameter '" + param.name + "' has the unknown type '" +
                             param.type + "'");
    }
    types_.push_back(*type);
    Json property = {{"type", param.type}};
    if (!param.description.empty()) property["description"] = param.description;
    properties[param.name] = property;
    if (param.required) required.push_back(param.name);
  }
  schema_ = {{"type", "object"}, {"properties", properties}, {"required", required}};
}

void Tool::validate(const Json& args) const {
  if (!args.is_object()) throw base::TypeError("arguments must be a JSON object");
  for (size_t idx = 0; idx < params_.size(); ++idx) {
    const ToolParam& param = params_[idx];
    auto found = args.find(param.name);
    if (found == args.end() || found->is_null()) {
      if (param.required) throw base::TypeError("missing required argument '" + param.name + "'");
      continue;
    }
    if (!has_param_type(*found, types_[idx])) {
      throw base::TypeError("argument '" + param.name + "' must be of type " + param.type);
    }
  }
}

std::string Tool::invoke(const Json& args, const ToolRuntime& runtime) const {
  validate(args);
  return fn_(args, runtime);
}

}  // namespace velko::host
