// The agent loop's own cost and the streaming latency of the model client.
//
//   BM_LoopOverheadPerStep: Agent::run over a model that answers at once (a tool call per
//     step, then a final answer) through four pass-through middlewares and one trivial
//     tool; the time per step is what the loop adds beyond the model's own time.
//   BM_FirstTokenLatency: a local server streams a Chat Completions answer; the time from
//     the server writing the first text event to the agent's event sink printing it
//     (fwrite + fflush to /dev/null), through libcurl, the SSE reader and the loop.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "velko/host/agent.h"
#include "velko/models/openai_chat.h"

namespace velko {
namespace {

using Clock = std::chrono::steady_clock;

class PassThrough : public host::AgentMiddleware {
 public:
  explicit PassThrough(bool with_tool) {
    if (with_tool) {
      tools_.emplace_back("echo", "echo", std::vector<host::ToolParam>{{"text", "string", "", true}},
                          [](const Json& args, const host::ToolRuntime&) { return args["text"].get<std::string>(); });
    }
  }
  std::string name() const override { return "PassThrough"; }
};

// A tool call per step until `steps`, then an answer; costs nothing itself.
class InstantModel : public host::ChatModel {
 public:
  explicit InstantModel(int steps) : steps_(steps) {}
  host::ModelResponse invoke(const host::ModelRequest& request, const std::vector<host::Tool>&) override {
    int step = static_cast<int>(request.messages().size() / 2);
    if (step >= steps_) return host::ModelResponse("done", {}, {10, 2});
    return host::ModelResponse("", {host::ToolCall{"c" + std::to_string(step), "echo", {{"text", "x"}}}}, {10, 2});
  }

 private:
  int steps_;
};

void BM_LoopOverheadPerStep(benchmark::State& state) {
  const int steps = static_cast<int>(state.range(0));
  std::vector<std::shared_ptr<host::AgentMiddleware>> middlewares = {
      std::make_shared<PassThrough>(true), std::make_shared<PassThrough>(false), std::make_shared<PassThrough>(false),
      std::make_shared<PassThrough>(false)};
  host::Agent agent(middlewares, std::make_shared<InstantModel>(steps), std::string(2000, 's'));
  host::InvokeOptions options;
  options.max_steps = steps + 1;
  options.cancel = std::make_shared<base::CancelSignal>();
  options.on_event = [](const host::AgentEvent&) {};
  Json start = {{"connection_id", "c"}, {"messages", Json::array({{{"role", "user"}, {"content", "q"}}})}};
  for (auto _ : state) {
    host::RunResult result = agent.run(start, Json::object(), options);
    benchmark::DoNotOptimize(result);
  }
  state.counters["us_per_step"] = benchmark::Counter(static_cast<double>(state.iterations() * (steps + 1)),
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoopOverheadPerStep)->Arg(1)->Arg(10)->Arg(25)->Unit(benchmark::kMicrosecond);

// Serves one streamed answer per connection; records when the first text event left.
class StreamServer {
 public:
  StreamServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(fd_, 16);
    thread_ = std::thread([this] { loop(); });
  }
  ~StreamServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/v1"; }
  std::atomic<int64_t> sent_ns{0};
  std::atomic<bool> printed{false};

 private:
  static void send_all(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t sent = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (sent <= 0) return;
      done += static_cast<size_t>(sent);
    }
  }
  static std::string chunk(const std::string& event) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", event.size());
    return size + event + "\r\n";
  }
  void loop() {
    while (!stop_) {
      int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      std::string request;
      char buffer[65536];
      size_t header_end = std::string::npos;
      size_t body_length = 0;
      while (true) {
        ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
        if (header_end == std::string::npos && (header_end = request.find("\r\n\r\n")) != std::string::npos) {
          size_t at = request.find("Content-Length: ");
          body_length = at == std::string::npos ? 0 : std::stoul(request.substr(at + 16));
        }
        if (header_end != std::string::npos && request.size() >= header_end + 4 + body_length) break;
      }
      send_all(client,
               "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n"
               "Connection: close\r\n\r\n");
      printed = false;
      sent_ns = Clock::now().time_since_epoch().count();
      send_all(client, chunk("data: {\"choices\": [{\"index\": 0, \"delta\": {\"content\": \"Hello\"}}]}\n\n"));
      while (!printed && !stop_) std::this_thread::yield();
      send_all(client, chunk("data: {\"choices\": [{\"index\": 0, \"delta\": {}, \"finish_reason\": \"stop\"}]}\n\n") +
                           chunk("data: [DONE]\n\n") + "0\r\n\r\n");
      ::close(client);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void BM_FirstTokenLatency(benchmark::State& state) {
  StreamServer server;
  models::ClientSettings settings;
  settings.model = "bench";
  settings.base_url = server.url();
  host::Agent agent({}, std::make_shared<models::OpenAIChatModel>(settings));
  std::FILE* sink = std::fopen("/dev/null", "w");
  int64_t printed_ns = 0;
  host::InvokeOptions options;
  options.cancel = std::make_shared<base::CancelSignal>();
  options.on_event = [&](const host::AgentEvent& event) {
    if (event.kind != host::AgentEvent::Kind::kTextDelta || server.printed) return;
    std::fwrite(event.text.data(), 1, event.text.size(), sink);
    std::fflush(sink);
    printed_ns = Clock::now().time_since_epoch().count();
    server.printed = true;
  };
  Json start = {{"messages", Json::array({{{"role", "user"}, {"content", "hi"}}})}};
  for (auto _ : state) {
    host::RunResult result = agent.run(start, Json::object(), options);
    if (result.stop_reason != "done") state.SkipWithError(result.error.c_str());
    state.SetIterationTime(static_cast<double>(printed_ns - server.sent_ns) / 1e9);
  }
  std::fclose(sink);
}
BENCHMARK(BM_FirstTokenLatency)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(200);

}  // namespace
}  // namespace velko

BENCHMARK_MAIN();
