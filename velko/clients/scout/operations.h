// The search operations with JSON arguments, as the registry and the velko command call
// them. Each takes {"base_url": text, "access_token": text, "timeout": number (optional),
// ...the operation's own parameters...}, builds a TavilyProxyClient and calls it.
//
// Argument checks: text parameters must be JSON strings, max_results any JSON number
// (cut to an integer), include_raw_content any value (its truth value), urls a list of
// strings; anything else is a TypeError naming the parameter. Errors of the client pass
// through unchanged.
#pragma once

#include "velko/base/json.h"

namespace velko::clients::scout {

// {"query", "max_results" (5), "include_raw_content" (false)} -> the response object.
Json web_search_operation(const Json& args);
// {"urls"} -> the response object.
Json extract_content_operation(const Json& args);
// {"query"} -> the answer text (a JSON string).
Json quick_answer_operation(const Json& args);
// {"query", "max_results" (5)} -> the context text (a JSON string).
Json get_search_context_operation(const Json& args);

// Python-style truth value of a JSON value: null, false, 0, 0.0, "", [] and {} are false
// (the rule of base::is_falsy).
bool _truth_value(const Json& value);

// args[name] as an integer (numbers cut toward zero), `fallback` when absent or null.
// TypeError naming the parameter for anything that is not a number (booleans included);
// ValueError for a number outside the integer range.
long long _integer_argument(const Json& args, const char* name, long long fallback);

}  // namespace velko::clients::scout
