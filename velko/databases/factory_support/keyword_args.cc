#include "velko/databases/factory_support/keyword_args.h"

#include "velko/base/errors.h"

namespace velko::databases::factory_support {
namespace {

// The agent runtime's texts for keyword arguments of `function`.
base::JsonArgsStyle keyword_style(const std::string& function) {
  base::JsonArgsStyle style;
  style.type_name = &base::python_type_name;
  style.null_is_empty = true;
  style.null_is_absent = false;
  style.not_object = {base::ArgErrorKind::kTypeError, function + "() argument after ** must be a mapping, not {type}"};
  style.unknown = {base::ArgErrorKind::kTypeError, function + "() got an unexpected keyword argument '{name}'"};
  // A missing argument read as text reads as None, as in the runtime.
  style.missing = {base::ArgErrorKind::kTypeError, function + "() argument '{name}' must be {expected}, not {type}"};
  style.wrong_type = style.missing;
  style.words.text = "str";
  style.words.nullable_text = "str or None";
  style.words.text_or_integer = "str or int";
  return style;
}

}  // namespace

KeywordArgs::KeywordArgs(std::string function, const Json& args, std::initializer_list<std::string_view> known)
    : function_(std::move(function)), args_(args, keyword_style(function_)) {
  args_.refuse_unknown(known);
}

void KeywordArgs::require(std::initializer_list<std::string_view> names) const {
  std::vector<std::string> missing;
  for (std::string_view name : names) {
    if (!has(name)) missing.push_back("'" + std::string(name) + "'");
  }
  if (missing.empty()) return;
  std::string listed;
  for (size_t idx = 0; idx < missing.size(); ++idx) {
    if (idx > 0) listed += idx + 1 == missing.size() ? (missing.size() > 2 ? ", and " : " and ") : ", ";
    listed += missing[idx];
  }
  throw base::TypeError(function_ + "() missing " + std::to_string(missing.size()) + " required keyword-only argument" +
                        (missing.size() == 1 ? "" : "s") + ": " + listed);
}

bool KeywordArgs::has(std::string_view name) const { return args_.has(name); }

void KeywordArgs::type_error(std::string_view name, std::string_view expected) const {
  args_.wrong_type(name, expected);
}

std::string KeywordArgs::text(std::string_view name) const { return args_.text(name); }

std::string KeywordArgs::text_or(std::string_view name, std::string_view fallback) const {
  return args_.text(name, fallback);
}

std::optional<std::string> KeywordArgs::optional_text(std::string_view name) const { return args_.nullable_text(name); }

std::string KeywordArgs::text_or_integer(std::string_view name, std::string_view fallback) const {
  return args_.text_or_integer(name, fallback);
}

bool KeywordArgs::truth(std::string_view name, bool fallback) const { return args_.truth(name, fallback); }

}  // namespace velko::databases::factory_support
