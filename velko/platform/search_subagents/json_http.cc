#include "velko/platform/search_subagents/json_http.h"

#include "velko/base/errors.h"
#include "velko/base/utf8.h"

namespace velko::platform::search_subagents {

Json exchange_json_object(const std::string& method, const std::string& url, const base::HttpHeaders& headers,
                          const std::optional<Json>& body, double timeout_seconds, std::string_view label) {
  base::HttpRequest request;
  request.method = method;
  request.url = url;
  request.headers = headers;
  request.timeout_seconds = timeout_seconds;
  if (body) request.body = base::dumps(*body);
  base::HttpResponse response = base::http_request(request);
  base::raise_for_status(response);
  Json decoded;
  try {
    decoded = base::loads(response.body);
  } catch (const base::ValueError& error) {
    throw base::ValueError("The response from " + std::string(label) + " is not JSON: " + error.what());
  } catch (const Json::exception& error) {  // a number beyond the range of double
    throw base::ValueError("The response from " + std::string(label) + " is not JSON: " + error.what());
  }
  if (!decoded.is_object()) {
    throw base::TypeError("The response from " + std::string(label) + " is a JSON " + decoded.type_name() +
                          ", not an object");
  }
  return decoded;
}

std::string cut_query(std::string_view query, size_t max_code_points) {
  if (base::count_code_points(query) <= max_code_points || max_code_points < 3) return std::string(query);
  return std::string(base::prefix_code_points(query, max_code_points - 3)) + "...";
}

}  // namespace velko::platform::search_subagents
