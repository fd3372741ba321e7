// The HTTP client on the wire, against the local test server: the bytes it sends, the
// responses it reads, and its limits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/http_test_server.h"
#include "velko/base/http.h"

namespace velko {
namespace {

using test_support::HttpTestServer;
using test_support::RecordedRequest;
using test_support::ScriptedResponse;

std::string header_or_absent(const RecordedRequest& request, std::string_view name) {
  return request.header(name).value_or("<absent>");
}

TEST(HttpClientWire, SendsMethodTargetHeadersAndBodyExactlyAndReadsTheWholeResponse) {
  HttpTestServer server;
  server.respond("POST", "/v1/items",
                 ScriptedResponse::json(R"({"created": true})", 201).with_header("X-Request-Id", "abc-123"));
  base::HttpRequest request;
  request.method = "post";
  request.url = server.url() + "/v1/items?page=2&sort=name";
  request.headers = {{"Authorization", "Bearer s3cret"}, {"Content-Type", "application/json"}, {"X-Empty", ""}};
  request.body = R"({"name": "caf\u00e9", "n": 1})";

  base::HttpResponse response = base::http_request(request);

  std::vector<RecordedRequest> requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const RecordedRequest& seen = requests[0];
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.path, "/v1/items");
  EXPECT_EQ(seen.query, "page=2&sort=name");
  EXPECT_EQ(header_or_absent(seen, "Authorization"), "Bearer s3cret");
  EXPECT_EQ(header_or_absent(seen, "Content-Type"), "application/json");
  EXPECT_EQ(header_or_absent(seen, "X-Empty"), "");
  EXPECT_EQ(header_or_absent(seen, "Content-Length"), std::to_string(request.body->size()));
  EXPECT_EQ(header_or_absent(seen, "Expect"), "<absent>");
  EXPECT_EQ(seen.body, *request.body);

  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.reason, "Created");
  EXPECT_EQ(response.body, R"({"created": true})");
  EXPECT_EQ(response.header("x-request-id"), "abc-123");
  EXPECT_EQ(response.header("content-type"), "application/json");
  EXPECT_EQ(response.url, server.url() + "/v1/items");
}

TEST(HttpClientWire, EachMethodArrivesWithItsBodyAndNoInventedContentType) {
  HttpTestServer server;
  struct Case {
    std::string method;
    std::optional<std::string> body;
    std::string content_length;
  };
  const Case cases[] = {
      {"GET", std::nullopt, "<absent>"}, {"DELETE", std::nullopt, "<absent>"}, {"PUT", std::string("a=1"), "3"},
      {"PATCH", std::string("{}"), "2"}, {"POST", std::nullopt, "0"},
  };
  for (const Case& item : cases) {
    SCOPED_TRACE(item.method);
    server.clear_requests();
    server.respond(item.method, "/m", ScriptedResponse::text("ok"));
    base::HttpRequest request;
    request.method = item.method;
    request.url = server.url() + "/m";
    request.body = item.body;
    EXPECT_EQ(base::http_request(request).body, "ok");
    std::vector<RecordedRequest> requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RecordedRequest& seen = requests[0];
    EXPECT_EQ(seen.method, item.method);
    EXPECT_EQ(seen.body, item.body.value_or(""));
    EXPECT_EQ(header_or_absent(seen, "Content-Length"), item.content_length);
    EXPECT_EQ(header_or_absent(seen, "Content-Type"), "<absent>");
  }
}

TEST(HttpClientWire, StatusesAreReturnedAndRedirectsAreNotFollowed) {
  HttpTestServer server;
  server.respond("GET", "/moved", ScriptedResponse::text("", 302).with_header("Location", server.url() + "/target"));
  server.respond("GET", "/denied", ScriptedResponse::json(R"({"error": "bad token"})", 401));
  base::HttpRequest request;
  request.url = server.url() + "/moved";
  base::HttpResponse moved = base::http_request(request);
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.header("Location"), server.url() + "/target");

  request.url = server.url() + "/denied";
  base::HttpResponse denied = base::http_request(request);
  EXPECT_EQ(denied.status, 401);
  try {
    base::raise_for_status(denied);
    ADD_FAILURE() << "no HTTPStatusError";
  } catch (const base::HTTPStatusError& error) {
    EXPECT_EQ(std::string(error.what()), "Client error '401 Unauthorized' for url '" + server.url() + "/denied'");
    EXPECT_EQ(error.response().body, R"({"error": "bad token"})");
  }
  ASSERT_EQ(server.requests().size(), 2u);  // the redirect target was never asked for
}

TEST(HttpClientWire, ADelayedAnswerEndsInTimeoutAndABodyOverTheLimitInTransportError) {
  HttpTestServer server;
  server.respond("GET", "/slow", ScriptedResponse::text("late").after(std::chrono::seconds(20)));
  server.respond("GET", "/big", ScriptedResponse::text(std::string(4096, 'x')));
  base::HttpRequest request;
  request.url = server.url() + "/slow";
  request.timeout_seconds = 0.2;
  EXPECT_THROW(base::http_request(request), base::TimeoutError);

  request.url = server.url() + "/big";
  request.timeout_seconds = 10;
  request.max_response_bytes = 100;
  EXPECT_THROW(base::http_request(request), base::TransportError);
  request.max_response_bytes = 4096;
  EXPECT_EQ(base::http_request(request).body.size(), 4096u);
}

TEST(HttpClientWire, ConcurrentCallsEachGetTheirOwnAnswer) {
  HttpTestServer server;
  server.handle("POST", "/echo",
                [](const RecordedRequest& request) { return ScriptedResponse::text("echo:" + request.body); });
  constexpr int kThreads = 8;
  constexpr int kCallsPerThread = 5;
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int thread_idx = 0; thread_idx < kThreads; ++thread_idx) {
    threads.emplace_back([&, thread_idx] {
      for (int call_idx = 0; call_idx < kCallsPerThread; ++call_idx) {
        base::HttpRequest request;
        request.method = "POST";
        request.url = server.url() + "/echo";
        request.body = std::to_string(thread_idx) + "-" + std::to_string(call_idx);
        if (base::http_request(request).body != "echo:" + *request.body) ++mismatches;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(server.requests().size(), static_cast<size_t>(kThreads * kCallsPerThread));
}

}  // namespace
}  // namespace velko
