// Knowledge clients: the local cost of a search call (HTTP round trips on 127.0.0.1, JSON
// bodies, hit building) and of the pure helpers.
//
//   build/bench/knowledge_bench --benchmark_min_time=1
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>

#include "velko/base/env.h"
#include "velko/base/json.h"
#include "velko/clients/chromadb/chromadb_client.h"
#include "velko/clients/scout/tavily_proxy_client.h"

namespace {

using velko::Json;

// Answers every request on 127.0.0.1 with the body scripted for its path (200, JSON), one
// request per connection.
class Responder {
 public:
  explicit Responder(std::map<std::string, std::string> bodies) : bodies_(std::move(bodies)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 128);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~Responder() {
    stopping_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void serve() {
    while (!stopping_) {
      int connection = ::accept(fd_, nullptr, nullptr);
      if (connection < 0) return;
      std::string request;
      char chunk[65536];
      size_t body_start = std::string::npos;
      size_t content_length = 0;
      for (;;) {
        ssize_t got = ::recv(connection, chunk, sizeof chunk, 0);
        if (got <= 0) break;
        request.append(chunk, static_cast<size_t>(got));
        if (body_start == std::string::npos && (body_start = request.find("\r\n\r\n")) != std::string::npos) {
          body_start += 4;
          size_t at = request.find("Content-Length: ");
          if (at != std::string::npos && at < body_start) content_length = std::stoul(request.substr(at + 16));
        }
        if (body_start != std::string::npos && request.size() >= body_start + content_length) break;
      }
      size_t path_start = request.find(' ') + 1;
      std::string path = request.substr(path_start, request.find(' ', path_start) - path_start);
      auto found = bodies_.find(path);
      std::string body = found == bodies_.end() ? "{}" : found->second;
      std::string answer =
          "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
          "\r\nConnection: close\r\n\r\n" + body;
      ::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::close(connection);
    }
  }

  std::map<std::string, std::string> bodies_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// A Chroma query result with `count` hits of `document_bytes` bytes each.
Json query_result(int count, size_t document_bytes) {
  Json documents = Json::array();
  Json metadatas = Json::array();
  Json distances = Json::array();
  for (int hit_idx = 0; hit_idx < count; ++hit_idx) {
    documents.push_back(std::string(document_bytes, 'd'));
    metadatas.push_back({{"file_path", "docs/page_" + std::to_string(hit_idx) + ".md"}, {"chunk_index", hit_idx}});
    distances.push_back(0.01 * hit_idx);
  }
  return {{"ids", Json::array()}, {"documents", {documents}}, {"metadatas", {metadatas}}, {"distances", {distances}}};
}

void BM_BuildHits(benchmark::State& state) {
  Json result = query_result(static_cast<int>(state.range(0)), 1000);
  for (auto _ : state) benchmark::DoNotOptimize(velko::clients::chromadb::_build_hits(result));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildHits)->Arg(5)->Arg(20);

void BM_TruncateQuery(benchmark::State& state) {
  std::string query;
  while (query.size() < static_cast<size_t>(state.range(0))) query += "caf\xC3\xA9 ";
  for (auto _ : state) benchmark::DoNotOptimize(velko::clients::scout::_truncate_query(query));
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(query.size()));
}
BENCHMARK(BM_TruncateQuery)->Arg(300)->Arg(100000);

void BM_WebSearchRoundTrip(benchmark::State& state) {
  Responder responder(std::map<std::string, std::string>{
      {"/api/tavily/web", R"({"results": [{"url": "https://a", "content": "text"}]})"}});
  velko::clients::scout::TavilyProxyClient client(responder.url(), "token");
  for (auto _ : state) benchmark::DoNotOptimize(client.web_search("dbt incremental models"));
}
BENCHMARK(BM_WebSearchRoundTrip)->UseRealTime();

void BM_SearchDocsRoundTrips(benchmark::State& state) {
  Json embedding = {{"data", {{{"embedding", Json(std::vector<double>(1536, 0.0123))}}}}};
  Responder responder(std::map<std::string, std::string>{
      {"/api/v2/tenants/t/databases/d/collections/airflow_docs", R"({"id": "c1"})"},
      {"/v1/embeddings", velko::base::dumps(embedding)},
      {"/api/v2/tenants/t/databases/d/collections/c1/query", velko::base::dumps(query_result(20, 1000))}});
  velko::base::ScopedEnv tenant("CHROMA_TENANT", "t"), database("CHROMA_DATABASE", "d");
  velko::base::ScopedEnv key("CHROMA_API_KEY", "k"), openai("OPENAI_API_KEY", "o");
  velko::base::ScopedEnv chroma_url("CHROMA_URL", responder.url());
  velko::base::ScopedEnv openai_url("OPENAI_BASE_URL", responder.url() + "/v1");
  velko::clients::chromadb::ChromaDBClient client;
  for (auto _ : state) {
    Json result = client.search_docs("How do I retry a task?", "airflow_docs", 20);
    if (result.contains("error")) state.SkipWithError(result["error"].get<std::string>().c_str());
    benchmark::DoNotOptimize(result);
  }
}
BENCHMARK(BM_SearchDocsRoundTrips)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
