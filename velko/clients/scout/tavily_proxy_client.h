// TavilyProxyClient: web search through the service's web application, which forwards the
// four search operations to the Tavily search service. It authenticates with the user's
// access token, so no search-service key is needed on the user's machine.
//
//   TavilyProxyClient client(settings().app_url, access_token);
//   Json results = client.web_search("dbt incremental models", 3);
//   std::string answer = client.quick_answer("What is Apache Airflow?");
//
// Every call opens its own HTTP connection (base::http_request) with the instance's
// time-out for the whole exchange, and closes it before returning; nothing is retried or
// cached. Nothing is caught: transport failures (base::ConnectError, base::TransportError),
// time-outs (base::TimeoutError), statuses of 400 and more (base::HTTPStatusError, which
// carries the response), a body that is not JSON (ValueError) and JSON that is not an
// object (TypeError) reach the caller. The access token lives only in the Authorization
// header value and appears in no error text.
//
// Thread-safe: the instance is immutable after construction.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/http.h"
#include "velko/base/json.h"

namespace velko::clients::scout {

inline constexpr const char* TAVILY_PROXY_CLIENT_DESCRIPTION =
    "HTTP client for calling Velko Next.js Tavily search proxy endpoints.";
inline constexpr double DEFAULT_TIMEOUT_SECONDS = 30.0;
// Longest query sent, in Unicode code points; longer ones are cut to 397 and "..." added.
inline constexpr size_t MAX_QUERY_LENGTH = 400;
inline constexpr int DEFAULT_MAX_RESULTS = 5;

inline constexpr const char* WEB_SEARCH_ENDPOINT = "/api/tavily/web";
inline constexpr const char* EXTRACT_ENDPOINT = "/api/tavily/extract";
inline constexpr const char* QNA_ENDPOINT = "/api/tavily/qna";
inline constexpr const char* CONTEXT_ENDPOINT = "/api/tavily/context";

// `query` unchanged when it has at most MAX_QUERY_LENGTH code points; otherwise its first
// MAX_QUERY_LENGTH - 3 code points followed by "...". Never splits a UTF-8 sequence (an
// invalid byte counts as one code point).
std::string _truncate_query(std::string_view query);

class TavilyProxyClient {
 public:
  // The named options of one request; `json` becomes the body (base::dumps form) when set.
  struct RequestOptions {
    std::optional<Json> json;
  };

  // `base_url` loses every trailing "/". Throws ValueError for a time-out that is not a
  // positive number of seconds.
  TavilyProxyClient(std::string_view base_url, std::string_view access_token, double timeout = DEFAULT_TIMEOUT_SECONDS);

  const std::string& base_url() const { return base_url_; }
  double timeout() const { return timeout_; }
  // "Authorization" -> "Bearer <token>", "Content-Type" -> "application/json".
  const base::HttpHeaders& headers() const { return headers_; }

  // Sends one request to base_url + endpoint and returns the decoded JSON object.
  // `method` is a lower-case method name ("post"); `endpoint` must begin with "/"
  // (ValueError otherwise).
  Json _make_request(std::string_view method, std::string_view endpoint, const RequestOptions& options = {}) const;

  // POST /api/tavily/web {"query", "max_results", "include_raw_content"}; the whole object.
  Json web_search(std::string_view query, long long max_results = DEFAULT_MAX_RESULTS,
                  bool include_raw_content = false) const;
  // POST /api/tavily/extract {"urls"}; the whole object.
  Json extract_content(const std::vector<std::string>& urls) const;
  // POST /api/tavily/qna {"query"}; the "answer" member, or "" when absent. TypeError when
  // the member is not text.
  std::string quick_answer(std::string_view query) const;
  // POST /api/tavily/context {"query", "max_results"}; the "context" member, or "" when
  // absent. TypeError when the member is not text.
  std::string get_search_context(std::string_view query, long long max_results = DEFAULT_MAX_RESULTS) const;

 private:
  std::string base_url_;
  double timeout_;
  base::HttpHeaders headers_;
};

}  // namespace velko::clients::scout
