// JsonArgs: reads the fields of a JSON object of arguments (an operation's arguments, a
// factory's keyword arguments, a backend's options, a stored configuration) as typed
// values, refusing what does not fit with the caller's own error texts.
//
//   base::JsonArgsStyle style;                      // "query is required", ...
//   base::JsonArgs args(json, style);               // refuses a non-object
//   args.refuse_unknown({"query", "max_results"});  // optional
//   std::string query = args.text("query");
//   long long max_results = args.whole_number("max_results", 5);
//
// A field is *given* when it is present, and, with style.null_is_absent, not null. Each
// reading of a field that is not given returns its fallback (or throws style.missing when
// it has none); a given field of the wrong JSON type throws style.wrong_type.
//
// Messages are patterns in which {name} (the field), {expected} (the reading's word from
// style.words, such as "text"), {type} (the JSON type of the value found, named by
// style.type_name; "null" or its equal for a missing field), {min} and {max} (an integer
// range) are replaced. Each message carries the error kind it is thrown as; kKeyError
// throws KeyError, whose text is the expanded pattern in single quotes.
//
// JsonArgs refers to the `args` it was given, which must outlive it. Thread-compatible.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"

namespace velko::base {

// nlohmann's name of the value's type: null, boolean, number, string, array, object.
std::string json_type_name(const Json& value);
// The agent runtime's name of the value's type: str, int, float, bool, NoneType, list, dict.
std::string python_type_name(const Json& value);

// A value as text_or_integer reads it: text as it is, an integer in decimal; nullopt for
// booleans, floats and everything else.
std::optional<std::string> text_or_integer_value(const Json& value);

enum class ArgErrorKind { kTypeError, kValueError, kKeyError };

struct ArgMessage {
  ArgErrorKind kind;
  std::string pattern;
};

// The words that stand for {expected}, one per reading.
struct ArgWords {
  std::string text = "text";
  std::string nullable_text = "text or null";
  std::string text_or_integer = "text or an integer";
  std::string number = "a number";
  std::string integer = "an integer";
  std::string text_list = "a list of text";
};

// How a caller's arguments read and fail. The defaults are the operations' texts
// ("arguments must be a JSON object, not array", "query is required", "query must be text,
// not number").
struct JsonArgsStyle {
  std::string (*type_name)(const Json&) = &json_type_name;
  bool null_is_empty = false;  // null arguments count as an empty object
  bool null_is_absent = true;  // a null field counts as not given
  ArgMessage not_object{ArgErrorKind::kTypeError, "arguments must be a JSON object, not {type}"};
  ArgMessage unknown{ArgErrorKind::kTypeError, "unexpected argument '{name}'"};
  ArgMessage missing{ArgErrorKind::kTypeError, "{name} is required"};
  ArgMessage wrong_type{ArgErrorKind::kTypeError, "{name} must be {expected}, not {type}"};
  ArgMessage wrong_item{ArgErrorKind::kTypeError, "{name} must be {expected}; found {type}"};
  ArgMessage out_of_range{ArgErrorKind::kValueError, "{name} must be between {min} and {max}"};
  ArgWords words;
};

class JsonArgs {
 public:
  // Throws style.not_object when `args` is not an object (null: an empty object with
  // style.null_is_empty).
  JsonArgs(const Json& args, JsonArgsStyle style);

  // Throws style.unknown for the first field (in the object's order) outside `known`.
  void refuse_unknown(std::initializer_list<std::string_view> known) const;

  // Whether the field is given (see above).
  bool has(std::string_view name) const;

  // Text; style.missing when not given.
  std::string text(std::string_view name) const;
  std::string text(std::string_view name, std::string_view fallback) const;
  // Text, or nullopt when absent or null whatever the style (words.nullable_text).
  std::optional<std::string> nullable_text(std::string_view name) const;
  // Text, or an integer written in decimal; booleans, floats and the rest are refused.
  std::string text_or_integer(std::string_view name) const;
  std::string text_or_integer(std::string_view name, std::string_view fallback) const;
  // Any number (not a boolean).
  double number(std::string_view name, double fallback) const;
  // A JSON integer (not a float, not a boolean) from `min` to `max`; style.out_of_range
  // outside.
  long long integer(std::string_view name, long long fallback, long long min, long long max) const;
  // Any number, cut toward zero; style.out_of_range (with the limits of long long) for a
  // value beyond them or not finite.
  long long whole_number(std::string_view name, long long fallback) const;
  // The value's truth by is_falsy (so a present null is false); never refuses a value.
  bool truth(std::string_view name, bool fallback) const;
  // A list of text; style.missing when not given, style.wrong_item for an item that is
  // not text ({type} is the item's).
  std::vector<std::string> text_list(std::string_view name) const;

  // Throws style.wrong_type for the field with {expected} = `expected`.
  [[noreturn]] void wrong_type(std::string_view name, std::string_view expected) const;

 private:
  const Json* given(std::string_view name) const;
  [[noreturn]] void fail(const ArgMessage& message, std::string_view name, std::string_view expected, const Json* value,
                         std::string_view min = {}, std::string_view max = {}) const;

  const Json* args_;
  JsonArgsStyle style_;
};

// Expands a message pattern (see above); unknown {placeholders} stay as they are.
std::string expand_arg_message(std::string_view pattern, std::string_view name, std::string_view expected,
                               std::string_view type, std::string_view min = {}, std::string_view max = {});

}  // namespace velko::base
