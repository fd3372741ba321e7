// TavilyClient: the direct client of the Tavily web search service, used in web mode where
// the hosted service's environment holds the search key.
//
//   POST {base}/search   {"query", "max_results", "include_raw_content"}         web_search
//   POST {base}/extract  {"urls"}                                                extract_content
//   POST {base}/search   {"query", "search_depth": "advanced", "include_answer": true}
//                                                                   -> "answer"  quick_answer
//   POST {base}/search   {"query", "max_results"} -> [{"url", "content"}, ...] as JSON text
//                                                                                get_search_context
//
// Every request carries "Authorization: Bearer <key>" and "Content-Type: application/json".
// The base URL is https://api.tavily.com unless $TAVILY_BASE_URL says otherwise. Queries
// longer than 400 code points are cut to 397 and "..." added (the service's limit).
//
// The default constructor reads TAVILY_API_KEY and throws ValueError when it is unset or
// empty; it makes no request. Operations throw like TavilyProxyClient: transport and
// time-out errors, base::HTTPStatusError for 4xx/5xx, ValueError for a body that is not
// JSON, TypeError for JSON that is not an object or an "answer" that is not text. The key
// never appears in an error text. Thread-safe: immutable after construction.
#pragma once

#include <optional>
#include <string>

#include "velko/base/http.h"
#include "velko/platform/search_subagents/search_clients.h"

namespace velko::platform::search_subagents {

inline constexpr const char* TAVILY_API_URL = "https://api.tavily.com";
inline constexpr const char* TAVILY_API_KEY_ENV = "TAVILY_API_KEY";
inline constexpr const char* TAVILY_BASE_URL_ENV = "TAVILY_BASE_URL";
inline constexpr const char* TAVILY_MISSING_KEY_ERROR = "Tavily API key not configured: set TAVILY_API_KEY";

class TavilyClient : public WebSearchClient {
 public:
  TavilyClient();
  // `base_url`: given, else $TAVILY_BASE_URL when non-empty, else TAVILY_API_URL.
  explicit TavilyClient(const std::string& api_key, std::optional<std::string> base_url = std::nullopt,
                        double timeout_seconds = 30.0);

  const std::string& base_url() const { return base_url_; }

  Json web_search(std::string_view query, long long max_results = 5, bool include_raw_content = false) const override;
  Json extract_content(const std::vector<std::string>& urls) const override;
  std::string quick_answer(std::string_view query) const override;
  std::string get_search_context(std::string_view query, long long max_results = 5) const override;

 private:
  Json post(const char* endpoint, const Json& body) const;

  std::string base_url_;
  double timeout_seconds_;
  base::HttpHeaders headers_;
};

}  // namespace velko::platform::search_subagents
