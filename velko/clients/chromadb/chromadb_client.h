// ChromaDBClient: semantic search over the documentation collections of a hosted Chroma
// database. A query is embedded with OpenAI's "text-embedding-3-small" model and matched
// against the collection; the hits come back as a mapping ready for the model.
//
//   ChromaDBClient client;   // reads CHROMA_TENANT, CHROMA_DATABASE, CHROMA_API_KEY, OPENAI_API_KEY
//   Json found = client.search_docs("How do I retry a task?", "airflow_docs", 3);
//   // {"query": ..., "collection": "airflow_docs", "num_results": 3, "results": [
//   //    {"content": ..., "source": "docs/tasks.md", "chunk_index": 4, "relevance_score": 0.83}, ...]}
//
// search_docs never throws for a remote failure or an unknown collection: it returns the
// failure mapping {"error": ..., "query", "collection", "num_results": 0, "results": []}.
// The constructor throws ValueError "ChromaDB credentials not fully configured" when one of
// its four variables is unset or empty; it makes no request. Service URLs may be moved with
// $CHROMA_URL and $OPENAI_BASE_URL (see cloud_client.h, openai_embeddings.h).
//
// Thread-safe: immutable after construction; every search opens its own connections.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "velko/base/json.h"
#include "velko/clients/chromadb/cloud_client.h"
#include "velko/clients/chromadb/openai_embeddings.h"

namespace velko::clients::chromadb {

// The searchable collections, in this order.
inline const std::vector<std::string> AVAILABLE_COLLECTIONS = {"airflow_docs", "dlt_docs", "dbt_docs"};

inline constexpr const char* CHROMADB_CLIENT_DESCRIPTION = "Direct ChromaDB client for web mode (env vars available).";
inline constexpr const char* EMBEDDING_MODEL = "text-embedding-3-small";
inline constexpr const char* DEFAULT_COLLECTION = "airflow_docs";
inline constexpr long long DEFAULT_N_RESULTS = 5;
inline constexpr long long MIN_N_RESULTS = 1;
inline constexpr long long MAX_N_RESULTS = 20;
inline constexpr const char* CREDENTIALS_ERROR = "ChromaDB credentials not fully configured";
inline constexpr const char* SEARCH_FAILED_PREFIX = "Documentation search failed: ";

class ChromaDBClient {
 public:
  // Reads the environment; each remote call may take up to DEFAULT_REMOTE_TIMEOUT_SECONDS.
  ChromaDBClient();
  explicit ChromaDBClient(double timeout_seconds);

  // AVAILABLE_COLLECTIONS.
  std::vector<std::string> list_collections() const;

  // The search result mapping (see the top of this file). `n_results` is clamped to 1..20.
  Json search_docs(std::string_view query, std::string_view collection = DEFAULT_COLLECTION,
                   long long n_results = DEFAULT_N_RESULTS) const;

  const CloudClient& client() const { return _client; }
  const OpenAIEmbeddings& embeddings() const { return _embeddings; }

 private:
  struct Credentials {
    std::string tenant, database, api_key, openai_api_key;
  };
  static Credentials read_credentials();
  ChromaDBClient(Credentials credentials, double timeout_seconds);

  CloudClient _client;
  OpenAIEmbeddings _embeddings;
};

// The failure mapping {"error", "query", "collection", "num_results": 0, "results": []}.
Json _failure(std::string_view error, std::string_view query, std::string_view collection);

// "Collection '<name>' not found. Available: ['airflow_docs', 'dlt_docs', 'dbt_docs']"
std::string _collection_not_found(std::string_view collection);

// The hit list of a Chroma query result for one query: one {"content", "source",
// "chunk_index", "relevance_score"} per entry of documents[0], in the server's order.
// Metadata defaults: "source" "unknown", "chunk_index" 0 (also for a record stored without
// metadata); "relevance_score" is 1 - distance, or null without a distance. An empty or
// absent documents list gives no hits. ValueError when "documents" is neither absent, null
// nor a list of lists.
Json _build_hits(const Json& query_result);

}  // namespace velko::clients::chromadb
