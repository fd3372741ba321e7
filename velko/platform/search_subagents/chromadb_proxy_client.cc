#include "velko/platform/search_subagents/chromadb_proxy_client.h"

#include <algorithm>

#include "velko/base/errors.h"
#include "velko/platform/search_subagents/json_http.h"

namespace velko::platform::search_subagents {
namespace {

Json failure(const std::string& error, std::string_view query, std::string_view collection) {
  Json result = Json::object();
  result["error"] = error;
  result["query"] = std::string(query);
  result["collection"] = std::string(collection);
  result["num_results"] = 0;
  result["results"] = Json::array();
  return result;
}

}  // namespace

ChromaDBProxyClient::ChromaDBProxyClient(std::string_view base_url, std::string_view access_token,
                                         double timeout_seconds)
    : base_url_(base_url),
      timeout_seconds_(timeout_seconds),
      headers_{{"Authorization", "Bearer " + std::string(access_token)}, {"Content-Type", "application/json"}} {
  while (!base_url_.empty() && base_url_.back() == '/') base_url_.pop_back();
}

std::vector<std::string> ChromaDBProxyClient::list_collections() const {
  Json answer = exchange_json_object("GET", base_url_ + CHROMADB_PROXY_COLLECTIONS_ENDPOINT, headers_, std::nullopt,
                                     timeout_seconds_, CHROMADB_PROXY_COLLECTIONS_ENDPOINT);
  auto collections = answer.find("collections");
  if (collections == answer.end() || !collections->is_array()) {
    throw base::TypeError("The response from /api/chromadb/collections has no list of collections");
  }
  std::vector<std::string> names;
  for (const Json& name : *collections) {
    if (!name.is_string())
      throw base::TypeError("The response from /api/chromadb/collections lists a name that is not text");
    names.push_back(name.get<std::string>());
  }
  return names;
}

Json ChromaDBProxyClient::search_docs(std::string_view query, std::string_view collection, long long n_results) const {
  Json body = Json::object();
  body["query"] = std::string(query);
  body["collection"] = std::string(collection);
  body["n_results"] = std::clamp(n_results, 1LL, 20LL);
  try {
    return exchange_json_object("POST", base_url_ + CHROMADB_PROXY_SEARCH_ENDPOINT, headers_, body, timeout_seconds_,
                                CHROMADB_PROXY_SEARCH_ENDPOINT);
  } catch (const std::exception& error) {
    // Like the direct client, the documentation search reports failures in its result.
    return failure(std::string("Documentation search failed: ") + error.what(), query, collection);
  }
}

}  // namespace velko::platform::search_subagents
