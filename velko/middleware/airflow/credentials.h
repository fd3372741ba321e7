// Helpers of the credential check: reading the run configuration and the service's answer
// the way the check needs them.
#pragma once

#include <string>
#include <vector>

#include "velko/base/json.h"

namespace velko::middleware::airflow {

// Whether a JSON value counts as empty: null, false, 0, "", [] and {}.
bool is_falsy(const Json& value);

// configurable["env_var_ids"], or an empty array when absent.
Json env_var_ids_of(const Json& configurable);

// The variable names of the service's answer: the keys of an object, the text items of
// an array (nothing for anything else).
std::vector<std::string> returned_names(const Json& env_vars);

// Whether state[key] is present and not falsy.
bool flag_set(const Json& state, const char* key);

}  // namespace velko::middleware::airflow
