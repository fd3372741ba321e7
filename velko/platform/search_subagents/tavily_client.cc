#include "velko/platform/search_subagents/tavily_client.h"

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/platform/search_subagents/json_http.h"

namespace velko::platform::search_subagents {
namespace {

constexpr size_t kMaxQueryLength = 400;

std::string required_key() {
  auto key = base::getenv_opt(TAVILY_API_KEY_ENV);
  if (!key || key->empty()) throw base::ValueError(TAVILY_MISSING_KEY_ERROR);
  return *key;
}

std::string base_url_from(std::optional<std::string> given) {
  std::string url;
  if (given && !given->empty()) {
    url = *given;
  } else if (auto env = base::getenv_opt(TAVILY_BASE_URL_ENV); env && !env->empty()) {
    url = *env;
  } else {
    url = TAVILY_API_URL;
  }
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

TavilyClient::TavilyClient() : TavilyClient(required_key()) {}

TavilyClient::TavilyClient(const std::string& api_key, std::optional<std::string> base_url, double timeout_seconds)
    : base_url_(base_url_from(std::move(base_url))),
      timeout_seconds_(timeout_seconds),
      headers_{{"Authorization", "Bearer " + api_key}, {"Content-Type", "application/json"}} {
  if (api_key.empty()) throw base::ValueError(TAVILY_MISSING_KEY_ERROR);
}

Json TavilyClient::post(const char* endpoint, const Json& body) const {
  return exchange_json_object("POST", base_url_ + endpoint, headers_, body, timeout_seconds_, endpoint);
}

Json TavilyClient::web_search(std::string_view query, long long max_results, bool include_raw_content) const {
  Json body = Json::object();
  body["query"] = cut_query(query, kMaxQueryLength);
  body["max_results"] = max_results;
  body["include_raw_content"] = include_raw_content;
  return post("/search", body);
}

Json TavilyClient::extract_content(const std::vector<std::string>& urls) const {
  Json body = Json::object();
  body["urls"] = urls;
  return post("/extract", body);
}

std::string TavilyClient::quick_answer(std::string_view query) const {
  Json body = Json::object();
  body["query"] = cut_query(query, kMaxQueryLength);
  body["search_depth"] = "advanced";
  body["include_answer"] = true;
  Json result = post("/search", body);
  auto answer = result.find("answer");
  if (answer == result.end() || answer->is_null()) return "";
  if (!answer->is_string()) throw base::TypeError("The answer of the search service is not text");
  return answer->get<std::string>();
}

std::string TavilyClient::get_search_context(std::string_view query, long long max_results) const {
  Json body = Json::object();
  body["query"] = cut_query(query, kMaxQueryLength);
  body["max_results"] = max_results;
  Json result = post("/search", body);
  Json sources = Json::array();
  auto results = result.find("results");
  if (results != result.end() && results->is_array()) {
    for (const Json& item : *results) {
      if (!item.is_object()) continue;
      Json source = Json::object();
      source["url"] = item.value("url", Json(""));
      source["content"] = item.value("content", Json(""));
      sources.push_back(std::move(source));
    }
  }
  return base::dumps(sources);
}

}  // namespace velko::platform::search_subagents
