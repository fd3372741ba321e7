// ChromaDBClient against a local server that speaks the Chroma v2 HTTP API and OpenAI's
// embeddings endpoint: the exact request sequence of a search, the clamping on the wire,
// and every remote failure turned into the failure mapping.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/http_test_server.h"
#include "velko/base/env.h"
#include "velko/clients/chromadb/chromadb_client.h"

namespace velko::clients::chromadb {
namespace {

using test_support::HttpTestServer;
using test_support::RecordedRequest;
using test_support::ScriptedResponse;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kCollectionPath = "/api/v2/tenants/tenant%201/databases/docs/collections/airflow_docs";
constexpr const char* kQueryPath = "/api/v2/tenants/tenant%201/databases/docs/collections/c0ffee-id/query";
constexpr const char* kEmbeddingsPath = "/v1/embeddings";

class ChromaWire : public ::testing::Test {
 protected:
  ChromaWire() : chroma_url_("CHROMA_URL", server_.url() + "/"), openai_url_("OPENAI_BASE_URL", server_.url() + "/v1") {
    server_.respond("GET", kCollectionPath,
                    ScriptedResponse::json(R"({"id": "c0ffee-id", "name": "airflow_docs", "metadata": null})"));
    server_.respond("POST", kEmbeddingsPath,
                    ScriptedResponse::json(R"({"object": "list", "data": [{"object": "embedding", "index": 0,
                        "embedding": [0.1, -0.25, 3.0]}], "model": "text-embedding-3-small"})"));
    server_.respond("POST", kQueryPath, ScriptedResponse::json(R"({"ids": [["a", "b"]],
        "documents": [["Use retries=3.", "Set retry_delay."]],
        "metadatas": [[{"file_path": "core/tasks.md", "chunk_index": 7}, {}]],
        "distances": [[0.25, 0.5]], "embeddings": null, "uris": null, "data": null,
        "include": ["documents", "metadatas", "distances"]})"));
  }

  static std::string query_body(int n_results) {
    return R"({"ids": null, "query_embeddings": [[0.1, -0.25, 3.0]], "n_results": )" + std::to_string(n_results) +
           R"(, "where": null, "where_document": null, "include": ["documents", "metadatas", "distances"]})";
  }

  HttpTestServer server_;
  base::ScopedEnv tenant_{"CHROMA_TENANT", "tenant 1"};
  base::ScopedEnv database_{"CHROMA_DATABASE", "docs"};
  base::ScopedEnv api_key_{"CHROMA_API_KEY", "ck-secret-1"};
  base::ScopedEnv openai_key_{"OPENAI_API_KEY", "sk-secret-2"};
  base::ScopedEnv chroma_url_;
  base::ScopedEnv openai_url_;
};

TEST_F(ChromaWire, ASearchGetsTheCollectionEmbedsTheQueryAndQueriesByCollectionId) {
  Json result = ChromaDBClient().search_docs("How do I retry?", "airflow_docs", 3);

  EXPECT_EQ(base::dumps(result),
            R"({"query": "How do I retry?", "collection": "airflow_docs", "num_results": 2, "results": [)"
            R"({"content": "Use retries=3.", "source": "core/tasks.md", "chunk_index": 7, "relevance_score": 0.75}, )"
            R"({"content": "Set retry_delay.", "source": "unknown", "chunk_index": 0, "relevance_score": 0.5}]})");

  std::vector<RecordedRequest> requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  const RecordedRequest& get_collection = requests[0];
  EXPECT_EQ(get_collection.method, "GET");
  EXPECT_EQ(get_collection.path, kCollectionPath);
  EXPECT_EQ(get_collection.header("X-Chroma-Token"), "ck-secret-1");
  EXPECT_EQ(get_collection.header("Authorization"), std::nullopt);
  EXPECT_EQ(get_collection.body, "");

  const RecordedRequest& embed = requests[1];
  EXPECT_EQ(embed.method, "POST");
  EXPECT_EQ(embed.path, kEmbeddingsPath);
  EXPECT_EQ(embed.header("Authorization"), "Bearer sk-secret-2");
  EXPECT_EQ(embed.header("Content-Type"), "application/json");
  EXPECT_EQ(embed.header("X-Chroma-Token"), std::nullopt);
  EXPECT_EQ(embed.body,
            R"({"input": "How do I retry?", "model": "text-embedding-3-small", "encoding_format": "float"})");

  const RecordedRequest& query = requests[2];
  EXPECT_EQ(query.method, "POST");
  EXPECT_EQ(query.path, kQueryPath);
  EXPECT_EQ(query.header("X-Chroma-Token"), "ck-secret-1");
  EXPECT_EQ(query.header("Content-Type"), "application/json");
  EXPECT_EQ(query.body, query_body(3));
}

TEST_F(ChromaWire, ResultCountsAreClampedToOneThroughTwentyOnTheWire) {
  const std::pair<long long, int> cases[] = {{50, 20}, {20, 20}, {7, 7}, {1, 1}, {0, 1}, {-3, 1}};
  ChromaDBClient client;
  for (const auto& [asked, sent] : cases) {
    server_.clear_requests();
    client.search_docs("q", "airflow_docs", asked);
    std::vector<RecordedRequest> requests = server_.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].body, query_body(sent)) << asked;
  }
}

TEST_F(ChromaWire, AnEmptyQueryResultIsASuccessWithoutHits) {
  server_.respond("POST", kQueryPath,
                  ScriptedResponse::json(R"({"ids": [[]], "documents": [[]], "metadatas": [[]], "distances": [[]]})"));
  EXPECT_EQ(base::dumps(ChromaDBClient().search_docs("nothing")),
            R"({"query": "nothing", "collection": "airflow_docs", "num_results": 0, "results": []})");
}

TEST_F(ChromaWire, EveryRemoteFailureBecomesTheFailureMappingWithoutSecrets) {
  struct Case {
    std::string name;
    std::string method;
    std::string path;
    ScriptedResponse response;
    std::string error;  // after "Documentation search failed: "; empty: only the prefix is checked
    size_t requests;
  };
  const Case cases[] = {
      {"collection missing remotely", "GET", kCollectionPath,
       ScriptedResponse::json(R"({"error": "NotFoundError", "message": "Collection [airflow_docs] does not exist"})",
                              404),
       "Collection [airflow_docs] does not exist", 1},
      {"chroma rejects the key", "GET", kCollectionPath, ScriptedResponse::text("Unauthorized", 401),
       "Chroma answered 401 Unauthorized: Unauthorized", 1},
      {"embedding key rejected", "POST", kEmbeddingsPath,
       ScriptedResponse::json(R"({"error": {"message": "Incorrect API key provided: sk-secret-2",
                                   "type": "invalid_request_error", "code": "invalid_api_key"}})",
                              401),
       "OpenAI embeddings request failed (401): Incorrect API key provided: ***", 2},
      {"embedding answer without vector", "POST", kEmbeddingsPath, ScriptedResponse::json(R"({"data": []})"),
       "OpenAI returned no embedding", 2},
      {"query server error", "POST", kQueryPath, ScriptedResponse::text("internal failure", 500),
       "Chroma answered 500 Internal Server Error: internal failure", 3},
      {"query answer not JSON", "POST", kQueryPath, ScriptedResponse::text("<html>", 200, "text/html"),
       "Chroma returned a response that is not JSON (status 200)", 3},
      {"query answer not an object", "POST", kQueryPath, ScriptedResponse::json("[1, 2]"),
       "Chroma returned a query result that is a JSON array, not an object", 3},
      {"documents not lists", "POST", kQueryPath, ScriptedResponse::json(R"({"documents": "flat"})"),
       "The query result's documents are not a list", 3},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    HttpTestServer server;
    server.respond("GET", kCollectionPath, ScriptedResponse::json(R"({"id": "c0ffee-id", "name": "airflow_docs"})"));
    server.respond("POST", kEmbeddingsPath, ScriptedResponse::json(R"({"data": [{"embedding": [1.0]}]})"));
    server.respond("POST", kQueryPath, ScriptedResponse::json(R"({"documents": [["d"]]})"));
    server.respond(item.method, item.path, item.response);
    base::ScopedEnv chroma_url("CHROMA_URL", server.url());
    base::ScopedEnv openai_url("OPENAI_BASE_URL", server.url() + "/v1");

    Json result = ChromaDBClient().search_docs("q?", "airflow_docs", 5);
    Json expected = {{"error", "Documentation search failed: " + item.error},
                     {"query", "q?"},
                     {"collection", "airflow_docs"},
                     {"num_results", 0},
                     {"results", Json::array()}};
    EXPECT_EQ(base::dumps(result), base::dumps(expected));
    EXPECT_EQ(server.requests().size(), item.requests);
  }
}

TEST_F(ChromaWire, TimeOutsAndUnreachableServicesAreFailuresToo) {
  server_.respond("POST", kQueryPath, ScriptedResponse::json("{}").after(std::chrono::seconds(20)));
  Json timed_out = ChromaDBClient(0.3).search_docs("q", "airflow_docs", 5);
  EXPECT_THAT(timed_out["error"].get<std::string>(),
              ::testing::StartsWith("Documentation search failed: Request timed out after 0.3 seconds"));
  EXPECT_EQ(timed_out["num_results"], 0);

  base::ScopedEnv chroma_url("CHROMA_URL", "http://127.0.0.1:" + std::to_string(test_support::unused_port()));
  Json unreachable = ChromaDBClient().search_docs("q", "dlt_docs", 5);
  std::string error = unreachable["error"].get<std::string>();
  EXPECT_THAT(error, ::testing::StartsWith("Documentation search failed: Connection failed"));
  EXPECT_EQ(unreachable["results"], Json::array());
  for (const std::string& text : {error, timed_out["error"].get<std::string>()}) {
    EXPECT_THAT(text, Not(HasSubstr("ck-secret-1")));
    EXPECT_THAT(text, Not(HasSubstr("sk-secret-2")));
  }
}

}  // namespace
}  // namespace velko::clients::chromadb
