// ChromaDBProxyClient: documentation search through the service's web application, used
// in cli mode with the user's access token. It offers the operations of ChromaDBClient:
//
//   GET  {base}/api/chromadb/collections  -> {"collections": ["airflow_docs", ...]}
//   POST {base}/api/chromadb/search       {"query", "collection", "n_results"}
//        -> {"query", "collection", "num_results", "results": [...]} (or with "error")
//
// Every request carries "Authorization: Bearer <token>" and "Content-Type:
// application/json"; the base URL loses its trailing "/".
//
// list_collections throws what the exchange throws (transport, time-out,
// base::HTTPStatusError, ValueError for a body that is not JSON, TypeError for an answer
// without a list of names). search_docs clamps n_results to 1..20 and, like
// ChromaDBClient, never throws for a remote failure: it returns {"error":
// "Documentation search failed: ...", "query", "collection", "num_results": 0,
// "results": []}. The token never appears in an error text. Thread-safe: immutable.
#pragma once

#include <string>
#include <string_view>

#include "velko/base/http.h"
#include "velko/platform/search_subagents/search_clients.h"

namespace velko::platform::search_subagents {

inline constexpr const char* CHROMADB_PROXY_COLLECTIONS_ENDPOINT = "/api/chromadb/collections";
inline constexpr const char* CHROMADB_PROXY_SEARCH_ENDPOINT = "/api/chromadb/search";

class ChromaDBProxyClient : public DocsSearchClient {
 public:
  ChromaDBProxyClient(std::string_view base_url, std::string_view access_token, double timeout_seconds = 30.0);

  const std::string& base_url() const { return base_url_; }

  std::vector<std::string> list_collections() const override;
  Json search_docs(std::string_view query, std::string_view collection = "airflow_docs",
                   long long n_results = 5) const override;

 private:
  std::string base_url_;
  double timeout_seconds_;
  base::HttpHeaders headers_;
};

}  // namespace velko::platform::search_subagents
