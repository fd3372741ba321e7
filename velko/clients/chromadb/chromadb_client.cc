#include "velko/clients/chromadb/chromadb_client.h"

#include <algorithm>

#include "velko/base/env.h"
#include "velko/base/errors.h"

namespace velko::clients::chromadb {
namespace {

// The first inner list of a column ("metadatas", "distances"), or null when the column is
// absent, null, empty or not a list of lists.
const Json* first_list(const Json& result, const char* column) {
  auto found = result.find(column);
  if (found == result.end() || !found->is_array() || found->empty()) return nullptr;
  const Json& first = (*found)[0];
  return first.is_array() ? &first : nullptr;
}

}  // namespace

ChromaDBClient::Credentials ChromaDBClient::read_credentials() {
  Credentials credentials;
  credentials.tenant = base::getenv_opt("CHROMA_TENANT").value_or("");
  credentials.database = base::getenv_opt("CHROMA_DATABASE").value_or("");
  credentials.api_key = base::getenv_opt("CHROMA_API_KEY").value_or("");
  credentials.openai_api_key = base::getenv_opt("OPENAI_API_KEY").value_or("");
  if (credentials.tenant.empty() || credentials.database.empty() || credentials.api_key.empty() ||
      credentials.openai_api_key.empty()) {
    throw base::ValueError(CREDENTIALS_ERROR);
  }
  return credentials;
}

ChromaDBClient::ChromaDBClient() : ChromaDBClient(read_credentials(), DEFAULT_REMOTE_TIMEOUT_SECONDS) {}

ChromaDBClient::ChromaDBClient(double timeout_seconds) : ChromaDBClient(read_credentials(), timeout_seconds) {}

ChromaDBClient::ChromaDBClient(Credentials credentials, double timeout_seconds)
    : _client(std::move(credentials.tenant), std::move(credentials.database), std::move(credentials.api_key),
              std::nullopt, timeout_seconds),
      _embeddings(EMBEDDING_MODEL, std::move(credentials.openai_api_key), std::nullopt, timeout_seconds) {}

std::vector<std::string> ChromaDBClient::list_collections() const { return AVAILABLE_COLLECTIONS; }

Json _failure(std::string_view error, std::string_view query, std::string_view collection) {
  Json result = Json::object();
  result["error"] = std::string(error);
  result["query"] = std::string(query);
  result["collection"] = std::string(collection);
  result["num_results"] = 0;
  result["results"] = Json::array();
  return result;
}

std::string _collection_not_found(std::string_view collection) {
  std::string listed;
  for (const std::string& name : AVAILABLE_COLLECTIONS) {
    if (!listed.empty()) listed += ", ";
    listed += "'" + name + "'";
  }
  return "Collection '" + std::string(collection) + "' not found. Available: [" + listed + "]";
}

Json _build_hits(const Json& query_result) {
  Json hits = Json::array();
  if (!query_result.is_object()) throw base::ValueError("The query result is not an object");
  auto documents = query_result.find("documents");
  if (documents == query_result.end() || documents->is_null()) return hits;
  if (!documents->is_array()) throw base::ValueError("The query result's documents are not a list");
  if (documents->empty()) return hits;
  const Json& first_documents = (*documents)[0];
  if (first_documents.is_null()) return hits;
  if (!first_documents.is_array()) throw base::ValueError("The query result's documents are not a list of lists");

  const Json* metadatas = first_list(query_result, "metadatas");
  const Json* distances = first_list(query_result, "distances");
  static const Json kNoMetadata = Json::object();
  for (size_t hit_idx = 0; hit_idx < first_documents.size(); ++hit_idx) {
    const Json* metadata = &kNoMetadata;
    if (metadatas != nullptr && hit_idx < metadatas->size() && (*metadatas)[hit_idx].is_object()) {
      metadata = &(*metadatas)[hit_idx];
    }
    Json relevance = nullptr;
    if (distances != nullptr && hit_idx < distances->size() && (*distances)[hit_idx].is_number()) {
      relevance = 1.0 - (*distances)[hit_idx].get<double>();
    }
    Json hit = Json::object();
    hit["content"] = first_documents[hit_idx];
    hit["source"] = metadata->contains("file_path") ? (*metadata)["file_path"] : Json("unknown");
    hit["chunk_index"] = metadata->contains("chunk_index") ? (*metadata)["chunk_index"] : Json(0);
    hit["relevance_score"] = relevance;
    hits.push_back(std::move(hit));
  }
  return hits;
}

Json ChromaDBClient::search_docs(std::string_view query, std::string_view collection, long long n_results) const {
  if (std::find(AVAILABLE_COLLECTIONS.begin(), AVAILABLE_COLLECTIONS.end(), collection) ==
      AVAILABLE_COLLECTIONS.end()) {
    return _failure(_collection_not_found(collection), query, collection);
  }
  long long count = std::clamp(n_results, MIN_N_RESULTS, MAX_N_RESULTS);
  try {
    Collection found = _client.get_collection(collection);
    std::vector<double> embedding = _embeddings.embed_query(query);
    Json result = found.query({embedding}, count, {"documents", "metadatas", "distances"});
    Json hits = _build_hits(result);
    Json success = Json::object();
    success["query"] = std::string(query);
    success["collection"] = std::string(collection);
    success["num_results"] = hits.size();
    success["results"] = std::move(hits);
    return success;
  } catch (const std::exception& error) {
    // The documentation client reports every remote failure in its result, never by throwing.
    return _failure(std::string(SEARCH_FAILED_PREFIX) + error.what(), query, collection);
  }
}

}  // namespace velko::clients::chromadb
