// The search proxy client's local rules: the query cut, base URL and headers, and the
// JSON-argument checks. Requests on the wire: tests/knowledge_scout_test.cc.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "velko/base/errors.h"
#include "velko/base/utf8.h"
#include "velko/clients/scout/module.h"
#include "velko/clients/scout/operations.h"
#include "velko/clients/scout/tavily_proxy_client.h"
#include "velko/platform/search_subagents/client_factories.h"

namespace velko::clients::scout {
namespace {

using ::testing::ElementsAre;

std::string repeat(std::string_view piece, size_t count) {
  std::string out;
  for (size_t idx = 0; idx < count; ++idx) out += piece;
  return out;
}

TEST(TruncateQuery, CutsAtFourHundredCodePointsWithoutSplittingSequences) {
  struct Case {
    std::string name;
    std::string query;
    std::string expected;
  };
  const Case cases[] = {
      {"empty", "", ""},
      {"ascii at the limit", repeat("a", 400), repeat("a", 400)},
      {"ascii one over", repeat("a", 400) + "b", repeat("a", 397) + "..."},
      {"ascii far over", repeat("x", 5000), repeat("x", 397) + "..."},
      {"two-byte at the limit", repeat("\xC3\xA9", 400), repeat("\xC3\xA9", 400)},
      {"two-byte one over", repeat("\xC3\xA9", 401), repeat("\xC3\xA9", 397) + "..."},
      {"four-byte one over", repeat("\xF0\x9F\x98\x80", 401), repeat("\xF0\x9F\x98\x80", 397) + "..."},
      {"cut lands after a multi-byte", repeat("a", 396) + "\xE2\x82\xAC" + repeat("b", 10),
       repeat("a", 396) + "\xE2\x82\xAC" + "..."},
      {"invalid bytes count one each", repeat("\xFF", 401), repeat("\xFF", 397) + "..."},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.name);
    std::string cut = _truncate_query(item.query);
    EXPECT_EQ(cut, item.expected);
    EXPECT_LE(base::count_code_points(cut), MAX_QUERY_LENGTH);
  }
}

TEST(TavilyProxyClient, NormalisesTheBaseUrlAndKeepsTheTokenOnlyInItsHeader) {
  for (const char* given : {"https://app.example.com", "https://app.example.com/", "https://app.example.com///"}) {
    TavilyProxyClient client(given, "tok-1");
    EXPECT_EQ(client.base_url(), "https://app.example.com") << given;
  }
  TavilyProxyClient client("http://h/", "tok-1");
  EXPECT_EQ(client.timeout(), 30.0);
  EXPECT_THAT(client.headers(), ElementsAre(std::pair<std::string, std::string>{"Authorization", "Bearer tok-1"},
                                            std::pair<std::string, std::string>{"Content-Type", "application/json"}));
  EXPECT_EQ(TavilyProxyClient("http://h", "t", 2.5).timeout(), 2.5);
  EXPECT_THROW(TavilyProxyClient("http://h", "t", 0.0), base::ValueError);
  EXPECT_THROW(TavilyProxyClient("http://h", "t", -1.0), base::ValueError);
}

TEST(TavilyProxyClient, RefusesUnknownMethodsAndRelativeEndpointsBeforeAnyRequest) {
  TavilyProxyClient client("http://127.0.0.1:9", "t");
  EXPECT_THROW(client._make_request("fetch", "/api/tavily/web"), base::ValueError);
  EXPECT_THROW(client._make_request("POST", "/api/tavily/web"), base::ValueError);  // lower-case names only
  EXPECT_THROW(client._make_request("post", "api/tavily/web"), base::ValueError);
}

TEST(IntegerArgument, CutsNumbersTowardZeroAndRefusesEverythingElse) {
  struct Case {
    Json value;
    long long expected;
  };
  const Case accepted[] = {{Json(7), 7}, {Json(5.9), 5}, {Json(-2.5), -2}, {Json(0), 0}, {Json(nullptr), 5}};
  for (const Case& item : accepted) {
    Json args = {{"max_results", item.value}};
    EXPECT_EQ(_integer_argument(args, "max_results", 5), item.expected) << item.value;
  }
  EXPECT_EQ(_integer_argument(Json::object(), "max_results", 5), 5);
  for (const Json& wrong : {Json("5"), Json(true), Json::array({1}), Json::object()}) {
    try {
      _integer_argument({{"max_results", wrong}}, "max_results", 5);
      ADD_FAILURE() << "accepted " << wrong;
    } catch (const base::TypeError& error) {
      EXPECT_THAT(error.what(), ::testing::HasSubstr("max_results"));
    }
  }
  EXPECT_THROW(_integer_argument({{"max_results", 1e300}}, "max_results", 5), base::ValueError);
  EXPECT_THROW(_integer_argument({{"max_results", 18446744073709551615ULL}}, "max_results", 5), base::ValueError);
}

TEST(TruthValue, FollowsPythonTruthiness) {
  const std::pair<Json, bool> cases[] = {
      {Json(nullptr), false},   {Json(false), false},   {Json(0), false},        {Json(0.0), false},
      {Json(""), false},        {Json::array(), false}, {Json::object(), false}, {Json(true), true},
      {Json(2), true},          {Json(-0.5), true},     {Json("no"), true},      {Json::array({0}), true},
      {Json({{"a", 1}}), true},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(_truth_value(value), expected) << value;
}

TEST(Operations, WrongArgumentTypesAreTypeErrorsNamingTheParameter) {
  const Json base_args = {{"base_url", "http://127.0.0.1:9"}, {"access_token", "t"}};
  auto with = [&](Json extra) {
    Json args = base_args;
    for (auto& [key, value] : extra.items()) args[key] = value;
    return args;
  };
  struct Case {
    Json (*operation)(const Json&);
    Json args;
    std::string parameter;
  };
  const Case cases[] = {
      {&web_search_operation, with({{"query", 5}}), "query"},
      {&web_search_operation, with(Json::object()), "query"},
      {&web_search_operation, with({{"query", "q"}, {"max_results", "5"}}), "max_results"},
      {&web_search_operation, {{"base_url", "http://h"}, {"access_token", 5}, {"query", "q"}}, "access_token"},
      {&web_search_operation, {{"access_token", "t"}, {"query", "q"}}, "base_url"},
      {&web_search_operation, with({{"query", "q"}, {"timeout", "30"}}), "timeout"},
      {&extract_content_operation, with({{"urls", "https://a"}}), "urls"},
      {&extract_content_operation, with({{"urls", {"https://a", 2}}}), "urls"},
      {&quick_answer_operation, with({{"query", nullptr}}), "query"},
      {&get_search_context_operation, with({{"query", "q"}, {"max_results", false}}), "max_results"},
      {&get_search_context_operation, Json::array(), "arguments"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.args.dump());
    try {
      item.operation(item.args);
      ADD_FAILURE() << "no TypeError";
    } catch (const base::TypeError& error) {
      EXPECT_THAT(error.what(), ::testing::StartsWith(item.parameter));
    }
  }
}

TEST(Module, RegistersTheFourSearchOperationsAndTheProxyClientFactory) {
  using platform::search_subagents::TAVILY_PROXY_CLIENT;
  using platform::search_subagents::WEB_SEARCH_CLIENTS;
  using Adapter = platform::search_subagents::WebSearchClientAdapter<TavilyProxyClient>;
  host::Registry registry;
  ASSERT_FALSE(registry.component(WEB_SEARCH_CLIENTS, TAVILY_PROXY_CLIENT));

  register_module(registry);
  EXPECT_THAT(registry.operation_names(), ElementsAre("scout.web_search", "scout.extract_content", "scout.quick_answer",
                                                      "scout.get_search_context"));

  auto factory = registry.component(WEB_SEARCH_CLIENTS, TAVILY_PROXY_CLIENT);
  ASSERT_TRUE(factory);
  auto client = (*factory)({"https://app.test/", "tok-3"});
  const auto* adapter = dynamic_cast<const Adapter*>(client.get());
  ASSERT_NE(adapter, nullptr);
  EXPECT_EQ(adapter->client().base_url(), "https://app.test");
  EXPECT_THAT(adapter->client().headers(),
              ::testing::Contains(std::pair<std::string, std::string>{"Authorization", "Bearer tok-3"}));
}

}  // namespace
}  // namespace velko::clients::scout
