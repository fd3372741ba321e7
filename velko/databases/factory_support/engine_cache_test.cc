#include "velko/databases/factory_support/engine_cache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "velko/base/errors.h"
#include "velko/databases/factory_support/keyword_args.h"

namespace velko::databases::factory_support {
namespace {

TEST(LruCacheTest, KeepsTheMostRecentlyUsedAndDropsTheLeast) {
  LruCache<std::string, std::shared_ptr<int>> cache(3);
  int made = 0;
  auto get = [&](const std::string& key) {
    return cache.get_or_create(key, [&] { return std::make_shared<int>(++made); });
  };
  auto a = get("a");
  get("b");
  get("c");
  EXPECT_EQ(get("a"), a);  // a is now the most recently used
  get("d");                // drops b, the least recently used
  EXPECT_TRUE(cache.peek("a").has_value());
  EXPECT_FALSE(cache.peek("b").has_value());
  EXPECT_TRUE(cache.peek("c").has_value());
  EXPECT_EQ(*get("b"), 5);  // made again
  CacheInfo info = cache.info();
  EXPECT_EQ(info.hits, 1u);
  EXPECT_EQ(info.misses, 5u);
  EXPECT_EQ(info.maxsize, 3u);
  EXPECT_EQ(info.currsize, 3u);
  cache.clear();
  EXPECT_EQ(cache.info().currsize, 0u);
  EXPECT_EQ(cache.info().misses, 0u);
}

TEST(LruCacheTest, FailuresAreNotCachedAndReachEveryWaiter) {
  LruCache<std::string, std::shared_ptr<int>> cache(4);
  EXPECT_THROW(cache.get_or_create("k", []() -> std::shared_ptr<int> { throw base::ValueError("no"); }),
               base::ValueError);
  EXPECT_FALSE(cache.peek("k").has_value());
  EXPECT_EQ(*cache.get_or_create("k", [] { return std::make_shared<int>(7); }), 7);  // tried again in full

  // Callers that arrive while the first one is still making the value share its error.
  std::atomic<bool> release{false};
  std::atomic<int> makes{0};
  std::atomic<int> errors{0};
  auto slow_failure = [&]() -> std::shared_ptr<int> {
    ++makes;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    throw base::ValueError("slow failure");
  };
  std::vector<std::thread> threads;
  for (int idx = 0; idx < 4; ++idx) {
    threads.emplace_back([&] {
      try {
        cache.get_or_create("slow", slow_failure);
      } catch (const base::ValueError& error) {
        if (std::string(error.what()) == "slow failure") ++errors;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  release = true;
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(errors.load(), 4);
  EXPECT_GE(makes.load(), 1);
  EXPECT_FALSE(cache.peek("slow").has_value());
}

TEST(LruCacheTest, ConcurrentCallersGetOneValuePerKey) {
  LruCache<int, std::shared_ptr<int>> cache(64);
  std::atomic<int> makes{0};
  constexpr int kThreads = 8;
  constexpr int kKeys = 16;
  std::vector<std::vector<std::shared_ptr<int>>> seen(kThreads, std::vector<std::shared_ptr<int>>(kKeys));
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&, thread] {
      for (int round = 0; round < 50; ++round) {
        for (int key = 0; key < kKeys; ++key) {
          auto value = cache.get_or_create(key, [&, key] {
            ++makes;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return std::make_shared<int>(key);
          });
          if (!seen[thread][key]) seen[thread][key] = value;
          ASSERT_EQ(seen[thread][key], value);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(makes.load(), kKeys);
  for (int key = 0; key < kKeys; ++key) {
    for (int thread = 1; thread < kThreads; ++thread) EXPECT_EQ(seen[thread][key], seen[0][key]);
  }
}

TEST(KeywordArgsTest, ChecksNamesAndTypesLikeKeywordArguments) {
  const Json good = {{"token", "t"}, {"port", 9000}, {"secure", ""}, {"schema", nullptr}};
  KeywordArgs args("f", good, {"token", "port", "secure", "schema", "database"});
  EXPECT_EQ(args.text("token"), "t");
  EXPECT_EQ(args.text_or("database", "d"), "d");
  EXPECT_EQ(args.text_or_integer("port", "8443"), "9000");
  EXPECT_FALSE(args.truth("secure", true));
  EXPECT_TRUE(args.truth("missing", true));
  EXPECT_EQ(args.optional_text("schema"), std::nullopt);

  struct Truth {
    Json value;
    bool expected;
  };
  for (const auto& [value, expected] : std::vector<Truth>{{true, true},
                                                          {false, false},
                                                          {0, false},
                                                          {2, true},
                                                          {0.0, false},
                                                          {"x", true},
                                                          {nullptr, false},
                                                          {Json::array(), false},
                                                          {Json::array({1}), true},
                                                          {Json::object(), false}}) {
    EXPECT_EQ(KeywordArgs("f", Json{{"secure", value}}, {"secure"}).truth("secure", true), expected) << value.dump();
  }

  struct Bad {
    std::function<void()> call;
    std::string message;
  };
  const std::vector<Bad> bad = {
      {[] { KeywordArgs("f", Json::array(), {"a"}); }, "f() argument after ** must be a mapping, not list"},
      {[] {
         KeywordArgs("f", Json{{"b", 1}}, {"a"});
       },
       "f() got an unexpected keyword argument 'b'"},
      {[] { KeywordArgs("f", Json::object(), {"a"}).require({"a"}); },
       "f() missing 1 required keyword-only argument: 'a'"},
      {[] {
         KeywordArgs("f", Json::object(), {"a", "b"}).require({"a", "b"});
       },
       "f() missing 2 required keyword-only arguments: 'a' and 'b'"},
      {[] {
         KeywordArgs("f", Json::object(), {"a", "b", "c"}).require({"a", "b", "c"});
       },
       "f() missing 3 required keyword-only arguments: 'a', 'b', and 'c'"},
      {[] {
         KeywordArgs("f", Json{{"a", 1}}, {"a"}).text("a");
       },
       "f() argument 'a' must be str, not int"},
      {[] {
         KeywordArgs("f", Json{{"a", false}}, {"a"}).optional_text("a");
       },
       "f() argument 'a' must be str or None, not bool"},
      {[] {
         KeywordArgs("f", Json{{"a", 1.5}}, {"a"}).text_or_integer("a", "");
       },
       "f() argument 'a' must be str or int, not float"},
      {[] {
         KeywordArgs("f", Json{{"a", true}}, {"a"}).text_or_integer("a", "");
       },
       "f() argument 'a' must be str or int, not bool"},
  };
  for (const auto& b : bad) {
    try {
      b.call();
      ADD_FAILURE() << "expected: " << b.message;
    } catch (const base::TypeError& error) {
      EXPECT_EQ(error.what(), b.message);
    }
  }
}

}  // namespace
}  // namespace velko::databases::factory_support
