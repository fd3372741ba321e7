#include "velko/clients/scout/tavily_proxy_client.h"

#include <cctype>
#include <cmath>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"
#include "velko/platform/search_subagents/json_http.h"

namespace velko::clients::scout {
namespace {

constexpr std::string_view kEllipsis = "...";

std::string http_method_of(std::string_view method) {
  static constexpr std::string_view kMethods[] = {"get", "post", "put", "patch", "delete", "head", "options"};
  for (std::string_view known : kMethods) {
    if (method == known) {
      return base::ascii_upper(known);
    }
  }
  throw base::ValueError("Unsupported HTTP method: " + std::string(method));
}

// The member `key` of `object` as text: "" when absent, TypeError when not text.
std::string text_member(const Json& object, const char* key, std::string_view endpoint) {
  auto found = object.find(key);
  if (found == object.end()) return "";
  if (!found->is_string()) {
    throw base::TypeError("Member '" + std::string(key) + "' of the response from " + std::string(endpoint) + " is " +
                          found->type_name() + ", not text");
  }
  return found->get<std::string>();
}

}  // namespace

std::string _truncate_query(std::string_view query) {
  // Only the first MAX_QUERY_LENGTH + 1 code points decide; a long query is not counted to its end.
  if (base::prefix_code_points(query, MAX_QUERY_LENGTH).size() == query.size()) return std::string(query);
  std::string cut(base::prefix_code_points(query, MAX_QUERY_LENGTH - kEllipsis.size()));
  cut += kEllipsis;
  return cut;
}

TavilyProxyClient::TavilyProxyClient(std::string_view base_url, std::string_view access_token, double timeout)
    : base_url_(base_url), timeout_(timeout) {
  while (!base_url_.empty() && base_url_.back() == '/') base_url_.pop_back();
  if (std::isnan(timeout) || timeout <= 0) throw base::ValueError("timeout must be a positive number of seconds");
  headers_ = {{"Authorization", "Bearer " + std::string(access_token)}, {"Content-Type", "application/json"}};
}

Json TavilyProxyClient::_make_request(std::string_view method, std::string_view endpoint,
                                      const RequestOptions& options) const {
  if (endpoint.empty() || endpoint.front() != '/') {
    throw base::ValueError("endpoint must begin with '/': " + std::string(endpoint));
  }
  return platform::search_subagents::exchange_json_object(http_method_of(method), base_url_ + std::string(endpoint),
                                                          headers_, options.json, timeout_, endpoint);
}

Json TavilyProxyClient::web_search(std::string_view query, long long max_results, bool include_raw_content) const {
  Json body = Json::object();
  body["query"] = _truncate_query(query);
  body["max_results"] = max_results;
  body["include_raw_content"] = include_raw_content;
  return _make_request("post", WEB_SEARCH_ENDPOINT, {body});
}

Json TavilyProxyClient::extract_content(const std::vector<std::string>& urls) const {
  Json body = Json::object();
  body["urls"] = urls;
  return _make_request("post", EXTRACT_ENDPOINT, {body});
}

std::string TavilyProxyClient::quick_answer(std::string_view query) const {
  Json body = Json::object();
  body["query"] = _truncate_query(query);
  return text_member(_make_request("post", QNA_ENDPOINT, {body}), "answer", QNA_ENDPOINT);
}

std::string TavilyProxyClient::get_search_context(std::string_view query, long long max_results) const {
  Json body = Json::object();
  body["query"] = _truncate_query(query);
  body["max_results"] = max_results;
  return text_member(_make_request("post", CONTEXT_ENDPOINT, {body}), "context", CONTEXT_ENDPOINT);
}

}  // namespace velko::clients::scout
