// TavilyProxyClient against a local server that speaks the search proxy's protocol: the
// exact requests of the four operations and every failure the client passes on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/http_test_server.h"
#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/clients/scout/operations.h"
#include "velko/clients/scout/tavily_proxy_client.h"

namespace velko::clients::scout {
namespace {

using test_support::HttpTestServer;
using test_support::RecordedRequest;
using test_support::ScriptedResponse;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kToken = "tok-4f9a-secret";

class ScoutWire : public ::testing::Test {
 protected:
  const RecordedRequest& only_request() {
    requests_ = server_.requests();
    EXPECT_EQ(requests_.size(), 1u);
    if (requests_.empty()) requests_.emplace_back();
    return requests_[0];
  }
  void expect_proxy_request(const RecordedRequest& request, const std::string& path, const std::string& body) {
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, path);
    EXPECT_EQ(request.query, "");
    EXPECT_EQ(request.header("Authorization"), std::string("Bearer ") + kToken);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.body, body);
  }

  HttpTestServer server_;
  std::vector<RecordedRequest> requests_;
};

TEST_F(ScoutWire, EachOperationPostsItsBodyToItsEndpoint) {
  server_.respond("POST", "/api/tavily/web",
                  ScriptedResponse::json(R"({"results": [{"url": "https://a"}], "query": "q"})"));
  server_.respond("POST", "/api/tavily/extract", ScriptedResponse::json(R"({"results": [{"raw_content": "text"}]})"));
  server_.respond("POST", "/api/tavily/qna", ScriptedResponse::json(R"({"answer": "42 \u00e9"})"));
  server_.respond("POST", "/api/tavily/context", ScriptedResponse::json(R"({"context": "ctx text"})"));
  TavilyProxyClient client(server_.url(), kToken);

  struct Case {
    std::string name;
    std::function<std::string()> call;
    std::string path;
    std::string body;
    std::string result;
  };
  const Case cases[] = {
      {"web_search defaults", [&] { return base::dumps(client.web_search("dbt \u00e9")); }, "/api/tavily/web",
       R"({"query": "dbt \u00e9", "max_results": 5, "include_raw_content": false})",
       R"({"results": [{"url": "https://a"}], "query": "q"})"},
      {"web_search options", [&] { return base::dumps(client.web_search("q", 2, true)); }, "/api/tavily/web",
       R"({"query": "q", "max_results": 2, "include_raw_content": true})",
       R"({"results": [{"url": "https://a"}], "query": "q"})"},
      {"extract_content",
       [&] {
         return base::dumps(client.extract_content({"https://a", "https://b?x=1"}));
       },
       "/api/tavily/extract", R"({"urls": ["https://a", "https://b?x=1"]})",
       R"({"results": [{"raw_content": "text"}]})"},
      {"quick_answer", [&] { return client.quick_answer("why?"); }, "/api/tavily/qna", R"({"query": "why?"})",
       "42 \xC3\xA9"},
      {"get_search_context", [&] { return client.get_search_context("airflow", 3); }, "/api/tavily/context",
       R"({"query": "airflow", "max_results": 3})", "ctx text"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    server_.clear_requests();
    EXPECT_EQ(item.call(), item.result);
    expect_proxy_request(only_request(), item.path, item.body);
  }
}

TEST_F(ScoutWire, TrailingSlashesLeaveExactlyOneBeforeApi) {
  server_.respond("POST", "/api/tavily/qna", ScriptedResponse::json(R"({"answer": "a"})"));
  for (std::string suffix : {"", "/", "///"}) {
    server_.clear_requests();
    TavilyProxyClient(server_.url() + suffix, kToken).quick_answer("q");
    EXPECT_EQ(only_request().path, "/api/tavily/qna") << suffix;
  }
}

TEST_F(ScoutWire, QueriesAreCutToFourHundredCodePointsOnTheWire) {
  server_.respond("POST", "/api/tavily/context", ScriptedResponse::json("{}"));
  TavilyProxyClient client(server_.url(), kToken);
  std::string exact(400, 'q');
  client.get_search_context(exact);
  EXPECT_EQ(only_request().body, R"({"query": ")" + exact + R"(", "max_results": 5})");

  server_.clear_requests();
  std::string accented;
  for (int idx = 0; idx < 401; ++idx) accented += "\xC3\xA9";
  client.get_search_context(accented);
  std::string expected_query;
  for (int idx = 0; idx < 397; ++idx) expected_query += "\\u00e9";
  EXPECT_EQ(only_request().body, R"({"query": ")" + expected_query + R"(...", "max_results": 5})");
}

TEST_F(ScoutWire, MissingAnswerOrContextIsEmptyTextAndNonTextIsATypeError) {
  TavilyProxyClient client(server_.url(), kToken);
  server_.respond("POST", "/api/tavily/qna", ScriptedResponse::json(R"({"results": []})"));
  server_.respond("POST", "/api/tavily/context", ScriptedResponse::json("{}"));
  EXPECT_EQ(client.quick_answer("q"), "");
  EXPECT_EQ(client.get_search_context("q"), "");

  server_.respond("POST", "/api/tavily/qna", ScriptedResponse::json(R"({"answer": 42})"));
  server_.respond("POST", "/api/tavily/context", ScriptedResponse::json(R"({"context": null})"));
  EXPECT_THROW(client.quick_answer("q"), base::TypeError);
  EXPECT_THROW(client.get_search_context("q"), base::TypeError);
}

TEST_F(ScoutWire, EveryFailureReachesTheCallerWithoutTheToken) {
  server_.respond("POST", "/api/tavily/web", ScriptedResponse::json(R"({"error": "Unauthorized"})", 401));
  server_.respond("POST", "/api/tavily/extract", ScriptedResponse::text("boom", 500));
  server_.respond("POST", "/api/tavily/qna", ScriptedResponse::text("<html>not json</html>", 200, "text/html"));
  server_.respond("POST", "/api/tavily/context", ScriptedResponse::json(R"(["a", "list"])"));
  TavilyProxyClient client(server_.url(), kToken);
  TavilyProxyClient slow_client(server_.url(), kToken, 0.2);

  auto error_text_of = [](const std::function<void()>& call) -> std::string {
    try {
      call();
    } catch (const std::exception& error) {
      return error.what();
    }
    return "<no error>";
  };
  std::vector<std::string> texts;

  try {
    client.web_search("q");
    ADD_FAILURE() << "no HTTPStatusError for 401";
  } catch (const base::HTTPStatusError& error) {
    EXPECT_EQ(error.response().status, 401);
    EXPECT_EQ(error.response().body, R"({"error": "Unauthorized"})");
    EXPECT_EQ(std::string(error.what()),
              "Client error '401 Unauthorized' for url '" + server_.url() + "/api/tavily/web'");
    texts.push_back(error.what());
  }
  try {
    client.extract_content({"https://a"});
    ADD_FAILURE() << "no HTTPStatusError for 500";
  } catch (const base::HTTPStatusError& error) {
    EXPECT_EQ(error.response().status, 500);
    texts.push_back(error.what());
  }
  EXPECT_THROW(client.quick_answer("q"), base::ValueError);
  texts.push_back(error_text_of([&] { client.quick_answer("q"); }));
  EXPECT_THROW(client.get_search_context("q"), base::TypeError);
  texts.push_back(error_text_of([&] { client.get_search_context("q"); }));

  server_.respond("POST", "/api/tavily/web", ScriptedResponse::json("{}").after(std::chrono::seconds(20)));
  EXPECT_THROW(slow_client.web_search("q"), base::TimeoutError);
  texts.push_back(error_text_of([&] { slow_client.web_search("q"); }));

  TavilyProxyClient unreachable("http://127.0.0.1:" + std::to_string(test_support::unused_port()), kToken);
  EXPECT_THROW(unreachable.web_search("q"), base::ConnectError);
  texts.push_back(error_text_of([&] { unreachable.web_search("q"); }));

  for (const std::string& text : texts) {
    EXPECT_THAT(text, Not(HasSubstr(kToken)));
    EXPECT_NE(text, "<no error>");
  }
}

TEST_F(ScoutWire, ANumberBeyondDoubleRangeIsAValueErrorLikeAnyBodyThatIsNotJson) {
  server_.respond("POST", "/api/tavily/qna", ScriptedResponse::json(R"({"answer": "a", "score": 1e999})"));
  EXPECT_THROW(TavilyProxyClient(server_.url(), kToken).quick_answer("q"), base::ValueError);
}

TEST_F(ScoutWire, OperationsConvertJsonArgumentsOnTheWire) {
  server_.respond("POST", "/api/tavily/web", ScriptedResponse::json(R"({"ok": true})"));
  Json result = web_search_operation({{"base_url", server_.url() + "/"},
                                      {"access_token", kToken},
                                      {"query", "q"},
                                      {"max_results", 3.9},
                                      {"include_raw_content", "yes"}});
  EXPECT_EQ(result, Json({{"ok", true}}));
  expect_proxy_request(only_request(), "/api/tavily/web",
                       R"({"query": "q", "max_results": 3, "include_raw_content": true})");
}

TEST_F(ScoutWire, OneClientServesSeveralThreadsAtOnce) {
  server_.handle("POST", "/api/tavily/qna", [](const RecordedRequest& request) {
    return ScriptedResponse::json(R"({"answer": )" + base::dumps(base::loads(request.body)["query"]) + "}");
  });
  TavilyProxyClient client(server_.url(), kToken);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int thread_idx = 0; thread_idx < 6; ++thread_idx) {
    threads.emplace_back([&, thread_idx] {
      for (int call_idx = 0; call_idx < 5; ++call_idx) {
        std::string query = "q" + std::to_string(thread_idx) + "-" + std::to_string(call_idx);
        if (client.quick_answer(query) != query) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
}  // namespace velko::clients::scout
