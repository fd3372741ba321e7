// A client of the Chroma server's HTTP API, version 2, the way the chromadb library's
// CloudClient speaks it:
//
//   GET  {base}/api/v2/tenants/{tenant}/databases/{database}/collections/{name}
//        -> the collection ({"id": ..., "name": ..., ...})
//   POST {base}/api/v2/tenants/{tenant}/databases/{database}/collections/{id}/query
//        {"ids": null, "query_embeddings": [[...]], "n_results": n, "where": null,
//         "where_document": null, "include": [...]}
//        -> {"ids": [[...]], "documents": [[...]], "metadatas": [[...]], "distances": [[...]], ...}
//
// Every request carries "X-Chroma-Token: <api key>" and "Content-Type: application/json".
// The base URL is Chroma's cloud endpoint unless given, or set in $CHROMA_URL (a
// self-hosted server, a test server). Path segments are percent-encoded.
//
// Creating a client makes no request. Each call opens its own connection with the
// client's time-out. Failures: transport and time-out errors of base::http_request; a
// status of 400 or more is a RemoteServiceError with the server's message ("Collection
// [x] does not exist") or, when it sent none, the status and the start of the body; a body
// that is not JSON is a ValueError. The API key never appears in an error text.
//
// Thread-safe: clients and collections are immutable.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"

namespace velko::clients::chromadb {

inline constexpr const char* DEFAULT_CHROMA_URL = "https://api.trychroma.com";
inline constexpr const char* CHROMA_URL_ENV = "CHROMA_URL";
inline constexpr const char* CHROMA_TOKEN_HEADER = "X-Chroma-Token";
inline constexpr double DEFAULT_REMOTE_TIMEOUT_SECONDS = 30.0;

namespace detail {
struct ChromaConnection {
  std::string base_url;  // without trailing "/"
  std::string tenant;
  std::string database;
  std::string api_key;
  double timeout_seconds;

  // Sends one request to base_url + path; returns the decoded JSON of a 2xx answer.
  Json request(const char* method, const std::string& path, const std::optional<Json>& body) const;
  // "/api/v2/tenants/{tenant}/databases/{database}" with both segments percent-encoded.
  std::string database_path() const;
};
}  // namespace detail

// One collection of the database; made by CloudClient::get_collection.
class Collection {
 public:
  Collection(std::shared_ptr<const detail::ChromaConnection> connection, std::string id, std::string name)
      : connection_(std::move(connection)), id_(std::move(id)), name_(std::move(name)) {}

  const std::string& id() const { return id_; }
  const std::string& name() const { return name_; }

  // The nearest `n_results` records for each query embedding; the server's result object.
  Json query(const std::vector<std::vector<double>>& query_embeddings, long long n_results,
             const std::vector<std::string>& include) const;

 private:
  std::shared_ptr<const detail::ChromaConnection> connection_;
  std::string id_;
  std::string name_;
};

class CloudClient {
 public:
  // `base_url`: given, else $CHROMA_URL when non-empty, else DEFAULT_CHROMA_URL.
  CloudClient(std::string tenant, std::string database, std::string api_key,
              std::optional<std::string> base_url = std::nullopt,
              double timeout_seconds = DEFAULT_REMOTE_TIMEOUT_SECONDS);

  const std::string& base_url() const { return connection_->base_url; }
  const std::string& tenant() const { return connection_->tenant; }
  const std::string& database() const { return connection_->database; }

  // The collection of that name. RemoteServiceError (error_type "NotFoundError" from a
  // Chroma server) when there is none; ValueError when the answer has no collection id.
  Collection get_collection(std::string_view name) const;

 private:
  std::shared_ptr<const detail::ChromaConnection> connection_;
};

// `text` percent-encoded for one URL path segment (every byte but A-Z a-z 0-9 - . _ ~).
std::string _encode_path_segment(std::string_view text);

}  // namespace velko::clients::chromadb
