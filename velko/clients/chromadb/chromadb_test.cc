// The documentation client's local rules: credentials, the collection check, hit building
// and the helpers for error texts. Requests on the wire: tests/knowledge_chromadb_test.cc.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/clients/chromadb/chromadb_client.h"
#include "velko/clients/chromadb/cloud_client.h"
#include "velko/clients/chromadb/module.h"
#include "velko/clients/chromadb/operations.h"
#include "velko/clients/chromadb/remote_error.h"
#include "velko/platform/search_subagents/client_factories.h"

namespace velko::clients::chromadb {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// All four credentials set, the services pointed at a port where nothing listens.
class ChromaEnvironment : public ::testing::Test {
 protected:
  base::ScopedEnv tenant_{"CHROMA_TENANT", "tenant-1"};
  base::ScopedEnv database_{"CHROMA_DATABASE", "docs"};
  base::ScopedEnv api_key_{"CHROMA_API_KEY", "ck-secret"};
  base::ScopedEnv openai_key_{"OPENAI_API_KEY", "sk-secret"};
  base::ScopedEnv chroma_url_{"CHROMA_URL", "http://127.0.0.1:9"};
  base::ScopedEnv openai_url_{"OPENAI_BASE_URL", "http://127.0.0.1:9/v1"};
};

TEST_F(ChromaEnvironment, EachMissingOrEmptyCredentialIsTheSameValueError) {
  for (const char* name : {"CHROMA_TENANT", "CHROMA_DATABASE", "CHROMA_API_KEY", "OPENAI_API_KEY"}) {
    for (std::optional<std::string> value : {std::optional<std::string>(), std::optional<std::string>("")}) {
      SCOPED_TRACE(std::string(name) + (value ? " empty" : " unset"));
      base::ScopedEnv missing(name, value);
      try {
        ChromaDBClient client;
        ADD_FAILURE() << "no ValueError";
      } catch (const base::ValueError& error) {
        EXPECT_STREQ(error.what(), "ChromaDB credentials not fully configured");
      }
    }
  }
  ChromaDBClient client;  // all four present: no request is made
  EXPECT_EQ(client.client().tenant(), "tenant-1");
  EXPECT_EQ(client.client().base_url(), "http://127.0.0.1:9");
  EXPECT_EQ(client.embeddings().model(), "text-embedding-3-small");
  EXPECT_THAT(client.list_collections(), ElementsAre("airflow_docs", "dlt_docs", "dbt_docs"));
}

TEST_F(ChromaEnvironment, ServiceUrlsDefaultToTheHostedServices) {
  base::ScopedEnv no_chroma_url("CHROMA_URL", std::nullopt);
  base::ScopedEnv no_openai_url("OPENAI_BASE_URL", "");
  ChromaDBClient client;
  EXPECT_EQ(client.client().base_url(), "https://api.trychroma.com");
  EXPECT_EQ(client.embeddings().base_url(), "https://api.openai.com/v1");
}

TEST_F(ChromaEnvironment, UnknownCollectionsFailWithTheListAndNoRemoteCall) {
  ChromaDBClient client;
  for (const char* collection : {"spark_docs", "Airflow_docs", ""}) {
    SCOPED_TRACE(collection);
    Json result = client.search_docs("how?", collection, 5);
    Json expected = {{"error", std::string("Collection '") + collection +
                                   "' not found. Available: ['airflow_docs', 'dlt_docs', 'dbt_docs']"},
                     {"query", "how?"},
                     {"collection", collection},
                     {"num_results", 0},
                     {"results", Json::array()}};
    EXPECT_EQ(base::dumps(result), base::dumps(expected));
  }
}

TEST_F(ChromaEnvironment, AnUnreachableServiceIsAFailureMappingNotAnException) {
  Json result = ChromaDBClient(2.0).search_docs("how?", "dbt_docs", 3);
  EXPECT_THAT(result["error"].get<std::string>(), ::testing::StartsWith("Documentation search failed: "));
  EXPECT_THAT(result["error"].get<std::string>(), ::testing::Not(HasSubstr("ck-secret")));
  EXPECT_EQ(result["num_results"], 0);
  EXPECT_EQ(result["results"], Json::array());
  EXPECT_EQ(result.begin().key(), "error");
}

TEST(BuildHits, MapsDocumentsMetadataAndDistancesInServerOrder) {
  struct Case {
    std::string name;
    std::string query_result;
    std::string expected_hits;
  };
  const Case cases[] = {
      {"full hit and defaults",
       R"({"ids": [["a", "b"]], "documents": [["first", "second"]],
           "metadatas": [[{"file_path": "docs/a.md", "chunk_index": 3}, {"other": 1}]],
           "distances": [[0.25, 0]]})",
       R"([{"content": "first", "source": "docs/a.md", "chunk_index": 3, "relevance_score": 0.75}, )"
       R"({"content": "second", "source": "unknown", "chunk_index": 0, "relevance_score": 1.0}])"},
      {"no distances", R"({"documents": [["only"]], "metadatas": [[{"file_path": "x"}]]})",
       R"([{"content": "only", "source": "x", "chunk_index": 0, "relevance_score": null}])"},
      {"distances null", R"({"documents": [["only"]], "metadatas": null, "distances": null})",
       R"([{"content": "only", "source": "unknown", "chunk_index": 0, "relevance_score": null}])"},
      {"record without metadata", R"({"documents": [["d"]], "metadatas": [[null]], "distances": [[0.5]]})",
       R"([{"content": "d", "source": "unknown", "chunk_index": 0, "relevance_score": 0.5}])"},
      {"empty first list", R"({"documents": [[]], "metadatas": [[]], "distances": [[]]})", "[]"},
      {"empty documents", R"({"documents": []})", "[]"},
      {"documents absent", R"({"ids": [[]]})", "[]"},
      {"documents null", R"({"documents": null})", "[]"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    EXPECT_EQ(base::dumps(_build_hits(base::loads(item.query_result))), item.expected_hits);
  }
  EXPECT_THROW(_build_hits(base::loads(R"({"documents": "text"})")), base::ValueError);
  EXPECT_THROW(_build_hits(base::loads(R"({"documents": ["flat"]})")), base::ValueError);
  EXPECT_THROW(_build_hits(base::loads("[]")), base::ValueError);
}

TEST(ErrorTextHelpers, ScrubSecretsAndShortenOnCodePointBoundaries) {
  EXPECT_EQ(_scrub("key ck-1 and ck-1 again", "ck-1"), "key *** and *** again");
  EXPECT_EQ(_scrub("nothing", ""), "nothing");
  EXPECT_EQ(_shorten("abcdef", 10), "abcdef");
  EXPECT_EQ(_shorten("abcdef", 3), "abc...");
  EXPECT_EQ(_shorten("a\xC3\xA9z", 2), "a...");  // never half of the two-byte sequence
  EXPECT_EQ(_encode_path_segment("my tenant/../x?y=1"), "my%20tenant%2F..%2Fx%3Fy%3D1");
  EXPECT_EQ(_encode_path_segment("airflow_docs-1.~"), "airflow_docs-1.~");
}

TEST_F(ChromaEnvironment, OperationsCheckArgumentTypesByName) {
  struct Case {
    Json args;
    std::string parameter;
  };
  const Case cases[] = {
      {Json::object(), "query"},
      {{{"query", 1}}, "query"},
      {{{"query", "q"}, {"collection", 5}}, "collection"},
      {{{"query", "q"}, {"n_results", "5"}}, "n_results"},
      {{{"query", "q"}, {"n_results", true}}, "n_results"},
      {Json::array(), "arguments"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.args.dump());
    try {
      search_docs_operation(item.args);
      ADD_FAILURE() << "no TypeError";
    } catch (const base::TypeError& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith(item.parameter));
    }
  }
  EXPECT_EQ(list_collections_operation(Json::object()), Json({"airflow_docs", "dlt_docs", "dbt_docs"}));
  host::Registry registry;
  register_module(registry);
  EXPECT_THAT(registry.operation_names(), ElementsAre("chromadb.list_collections", "chromadb.search_docs"));
}

TEST_F(ChromaEnvironment, RegisteringAddsTheDirectClientFactory) {
  using Adapter = platform::search_subagents::DocsSearchClientAdapter<ChromaDBClient>;
  host::Registry registry;
  register_module(registry);
  auto factory =
      registry.component(platform::search_subagents::DOCS_SEARCH_CLIENTS, platform::search_subagents::CHROMADB_CLIENT);
  ASSERT_TRUE(factory);
  auto client = (*factory)({});
  ASSERT_NE(dynamic_cast<const Adapter*>(client.get()), nullptr);
  EXPECT_EQ(client->list_collections(), AVAILABLE_COLLECTIONS);
  // Each call reads the environment afresh.
  base::ScopedEnv no_key("CHROMA_API_KEY", "");
  EXPECT_THROW((*factory)({}), base::ValueError);
}

}  // namespace
}  // namespace velko::clients::chromadb
