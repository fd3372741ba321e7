// A local HTTP/1.1 server for tests: it listens on 127.0.0.1 on a free port, records every
// request (method, path, query, headers and body bytes exactly as received) and answers
// with scripted responses, optionally after a delay (to provoke client time-outs).
//
//   test_support::HttpTestServer server;
//   server.respond("POST", "/api/items", ScriptedResponse::json(R"({"ok": true})"));
//   ... point the client at server.url() ...
//   ASSERT_EQ(server.requests().size(), 1u);
//   EXPECT_EQ(server.requests()[0].body, R"({"name": "x"})");
//
// Written on plain POSIX sockets (one thread per connection, one request per connection,
// "Connection: close" on every answer), so it needs no library and every byte it sends is
// the script's. Request bodies may come with Content-Length or chunked; "Expect:
// 100-continue" is honoured. A request with no scripted answer gets 404 with an empty
// body. Every member function is safe to call from the test thread while requests are
// served. The destructor stops the server and cuts pending delays short.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace velko::test_support {

struct RecordedRequest {
  std::string method;
  std::string path;                                          // the request target without its query
  std::string query;                                         // the raw text after "?", or ""
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  std::string body;                                          // the body bytes (chunked bodies decoded)

  // The first header of that name (compared without regard to case), or nullopt.
  std::optional<std::string> header(std::string_view name) const;
};

struct ScriptedResponse {
  int status = 200;
  std::string body;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  // Wait this long before answering (cut short when the server stops).
  std::chrono::milliseconds delay{0};
  // A streamed answer: when not empty, the body is sent with "Transfer-Encoding: chunked",
  // one HTTP chunk per piece, `chunk_delay` before each piece after the first (`body` is
  // then not sent). With `cut`, the connection closes after the last piece without the
  // final empty chunk, as a server that broke off mid-answer.
  std::vector<std::string> chunks;
  std::chrono::milliseconds chunk_delay{0};
  bool cut = false;

  // A JSON answer: ScriptedResponse::json(R"({"ok": true})", 201).after(std::chrono::seconds(5))
  static ScriptedResponse json(std::string body, int status = 200) {
    ScriptedResponse response;
    response.status = status;
    response.body = std::move(body);
    return response;
  }
  static ScriptedResponse text(std::string body, int status = 200, std::string content_type = "text/plain") {
    ScriptedResponse response = json(std::move(body), status);
    response.content_type = std::move(content_type);
    return response;
  }
  ScriptedResponse after(std::chrono::milliseconds wait) const {
    ScriptedResponse copy = *this;
    copy.delay = wait;
    return copy;
  }
  // A streamed answer of `pieces` (see `chunks`).
  static ScriptedResponse stream(std::vector<std::string> pieces, std::string content_type = "text/event-stream") {
    ScriptedResponse response;
    response.chunks = std::move(pieces);
    response.content_type = std::move(content_type);
    return response;
  }
  ScriptedResponse with_header(std::string name, std::string value) const {
    ScriptedResponse copy = *this;
    copy.headers.emplace_back(std::move(name), std::move(value));
    return copy;
  }
};

using Handler = std::function<ScriptedResponse(const RecordedRequest&)>;

class HttpTestServer {
 public:
  // Starts listening. Throws std::runtime_error when no port can be bound.
  HttpTestServer();
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string url() const;

  // Answers every request to `method` `path` with `response` (replaces an earlier one).
  void respond(const std::string& method, const std::string& path, ScriptedResponse response);
  // Answers the next request to `method` `path` with `response`; queued responses are used
  // in order before the fixed one of respond().
  void enqueue(const std::string& method, const std::string& path, ScriptedResponse response);
  // Computes the answer from the request (takes precedence over respond() and enqueue()).
  // Runs on a server thread.
  void handle(const std::string& method, const std::string& path, Handler handler);

  // Every complete request received so far, in arrival order.
  std::vector<RecordedRequest> requests() const;
  void clear_requests();

 private:
  void accept_loop();
  void serve(int connection);
  ScriptedResponse answer(const RecordedRequest& request);
  void wait_for(std::chrono::milliseconds delay);

  int listen_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  int port_ = 0;
  std::thread acceptor_;

  mutable std::mutex mu_;
  // state below is guarded by mu_
  std::vector<std::thread> connections_;
  std::vector<RecordedRequest> requests_;
  std::map<std::pair<std::string, std::string>, ScriptedResponse> fixed_;
  std::map<std::pair<std::string, std::string>, std::deque<ScriptedResponse>> queued_;
  std::map<std::pair<std::string, std::string>, Handler> handlers_;
  bool stopping_ = false;
  std::condition_variable stop_cv_;
};

// A TCP port on 127.0.0.1 where nothing listens (bound once, then released).
int unused_port();

}  // namespace velko::test_support
