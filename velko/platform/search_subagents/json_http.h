// One JSON-over-HTTP exchange, as the stand-in clients of this folder make it: send the
// request (body in base::dumps form), raise base::HTTPStatusError for a status of 400 or
// more, decode the body and require a JSON object.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "velko/base/http.h"
#include "velko/base/json.h"

namespace velko::platform::search_subagents {

// Throws what base::http_request and base::raise_for_status throw, ValueError when the body
// is not JSON, TypeError when it is not an object. `label` names the endpoint in error
// texts (a path, never a URL with credentials).
Json exchange_json_object(const std::string& method, const std::string& url, const base::HttpHeaders& headers,
                          const std::optional<Json>& body, double timeout_seconds, std::string_view label);

// The first `max_code_points` code points of `query` when it is longer, with "..." in place
// of its last three; `query` itself otherwise.
std::string cut_query(std::string_view query, size_t max_code_points);

}  // namespace velko::platform::search_subagents
