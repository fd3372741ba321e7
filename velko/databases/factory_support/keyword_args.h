// Named arguments that arrive as a JSON object (from the velko command or a plug-in
// host), checked the way the agent runtime checks keyword arguments: every error is a
// TypeError whose text names the function and the parameter.
//
//   KeywordArgs kwargs("create_motherduck_engine", args, {"token", "database"});
//   kwargs.require({"token"});                       // missing ones, all named at once
//   std::string token = kwargs.text("token");
//   std::string database = kwargs.text_or("database", "");
//
// Messages:
//   "f() argument after ** must be a mapping, not list"     (args is not an object)
//   "f() got an unexpected keyword argument 'x'"
//   "f() missing 1 required keyword-only argument: 'token'"
//   "f() missing 2 required keyword-only arguments: 'host' and 'token'"
//   "f() argument 'token' must be str, not int"
//
// The keyword-argument front of base::JsonArgs. It refers to `args`, which must outlive it;
// thread-compatible.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"
#include "velko/base/json_args.h"

namespace velko::databases::factory_support {

class KeywordArgs {
 public:
  // Throws TypeError when `args` is not an object (null counts as no arguments) or holds
  // a name outside `known`.
  KeywordArgs(std::string function, const Json& args, std::initializer_list<std::string_view> known);

  // Throws TypeError naming every name of `names` that was not passed.
  void require(std::initializer_list<std::string_view> names) const;

  bool has(std::string_view name) const;
  // The text value; TypeError when it is not text (or missing).
  std::string text(std::string_view name) const;
  // The text value, or `fallback` when not passed.
  std::string text_or(std::string_view name, std::string_view fallback) const;
  // The text value, or nullopt when not passed or null.
  std::optional<std::string> optional_text(std::string_view name) const;
  // Text, or an integer written in decimal; `fallback` when not passed. Booleans,
  // floats and everything else are refused.
  std::string text_or_integer(std::string_view name, std::string_view fallback) const;
  // The value's truth as the agent runtime sees it (false, 0, 0.0, "", [], {}, null are
  // false); `fallback` when not passed.
  bool truth(std::string_view name, bool fallback) const;

  [[noreturn]] void type_error(std::string_view name, std::string_view expected) const;

 private:
  std::string function_;
  base::JsonArgs args_;
};

}  // namespace velko::databases::factory_support
