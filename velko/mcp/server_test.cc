#include "velko/mcp/server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "velko/base/json.h"
#include "velko/base/strings.h"
#include "velko/mcp/chart_images.h"
#include "velko/mcp/http_transport.h"
#include "velko/mcp/line_reader.h"
#include "velko/mcp/session.h"
#include "velko/mcp/worker_pool.h"

namespace velko::mcp {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// How many calls of the "wait" tool started, and how many saw their cancellation signal fire.
std::atomic<int> g_waits_started{0};
std::atomic<int> g_waits_cancelled{0};

// Waits (up to 10 s) until `count` calls of "wait" have started.
bool waits_started(int count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (g_waits_started < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return g_waits_started >= count;
}

class EchoMiddleware : public host::AgentMiddleware {
 public:
  EchoMiddleware() {
    // Waits until its call is cancelled (or `seconds` pass), the way a query honours the signal.
    tools_.push_back(host::Tool("wait", "Wait.", {{"seconds", "number", "How long", true}},
                                [](const Json& args, const host::ToolRuntime& runtime) -> std::string {
                                  ++g_waits_started;
                                  auto until = std::chrono::steady_clock::now() +
                                               std::chrono::duration<double>(args["seconds"].get<double>());
                                  std::mutex mu;
                                  std::condition_variable cv;
                                  bool cancelled = false;
                                  auto subscription = base::on_cancel(runtime.cancel, [&] {
                                    std::lock_guard lock(mu);
                                    cancelled = true;
                                    cv.notify_all();
                                  });
                                  std::unique_lock lock(mu);
                                  if (cv.wait_until(lock, until, [&] { return cancelled; })) {
                                    ++g_waits_cancelled;
                                    return "Error: cancelled";
                                  }
                                  return "waited";
                                }));
    tools_.push_back(host::Tool("json", "A JSON object.", {}, [](const Json&, const host::ToolRuntime&) -> std::string {
      return R"({"headers": ["n"], "rows": [[1]]})";
    }));
    tools_.push_back(
        host::Tool("generate_charts", "Charts.", {{"listing", "string", "The result", true}},
                   [](const Json& args, const host::ToolRuntime&) { return args["listing"].get<std::string>(); }));
    tools_.push_back(host::Tool("echo", "Echo the text back.", {{"text", "string", "What to echo", true}},
                                [](const Json& args, const host::ToolRuntime& runtime) {
                                  std::string text = args["text"].get<std::string>();
                                  if (text == "throw") throw std::runtime_error("boom");
                                  return text + "|" + runtime.tool_call_id + "|" +
                                         runtime.state.value("connection_id", "");
                                }));
  }
  std::string name() const override { return "Echo"; }
};

ServerOptions options_for(Json state, std::string instructions) {
  ServerOptions options;
  options.version = "1.2.3";
  options.state = std::move(state);
  options.instructions = std::move(instructions);
  return options;
}

class McpServerTest : public ::testing::Test {
 protected:
  McpServerTest()
      : server_(std::make_shared<host::Agent>(
                    std::vector<std::shared_ptr<host::AgentMiddleware>>{std::make_shared<EchoMiddleware>()}),
                options_for({{"connection_id", "demo"}}, "the prompt")) {}
  Json send(const Json& message) { return Json::parse(*server_.handle_line(base::dumps(message))); }
  Json request(const std::string& method, const Json& params = Json::object(), int id = 1) {
    return send({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
  }
  Server server_;
};

TEST_F(McpServerTest, InitializeNegotiatesVersionAndSendsInstructions) {
  Json result = request("initialize", {{"protocolVersion", "2025-06-18"},
                                       {"capabilities", Json::object()},
                                       {"clientInfo", {{"name", "t"}, {"version", "1"}}}})["result"];
  EXPECT_EQ(result["protocolVersion"], "2025-06-18");
  EXPECT_EQ(result["instructions"], "the prompt");
  EXPECT_EQ(result["serverInfo"]["version"], "1.2.3");
  EXPECT_TRUE(result["capabilities"].contains("tools"));
  EXPECT_EQ(request("initialize", {{"protocolVersion", "1999-01-01"}})["result"]["protocolVersion"],
            LATEST_PROTOCOL_VERSION);
}

TEST_F(McpServerTest, ListsAndCallsToolsThroughTheChain) {
  Json tools = request("tools/list")["result"]["tools"];
  ASSERT_EQ(tools.size(), 4u);
  EXPECT_EQ(tools[3]["name"], "echo");
  EXPECT_EQ(tools[3]["inputSchema"]["required"], Json::array({"text"}));

  Json ok = request("tools/call", {{"name", "echo"}, {"arguments", {{"text", "hi"}}}}, 7)["result"];
  EXPECT_EQ(ok["content"][0]["text"], "hi|mcp-7|demo");
  EXPECT_EQ(ok["isError"], false);
  Json error_text = request("tools/call", {{"name", "echo"}, {"arguments", {{"text", "Error: nope"}}}})["result"];
  EXPECT_EQ(error_text["isError"], true);
  Json thrown = request("tools/call", {{"name", "echo"}, {"arguments", {{"text", "throw"}}}})["result"];
  EXPECT_EQ(thrown["isError"], true);
  EXPECT_EQ(thrown["content"][0]["text"], "Error: boom");
}

TEST_F(McpServerTest, ProtocolErrorsNeverCrash) {
  struct Case {
    std::string line;
    int code;
  };
  const Case cases[] = {
      {"{not json", PARSE_ERROR},
      {"[1, 2]", INVALID_REQUEST},
      {R"({"jsonrpc": "1.0", "id": 1, "method": "ping"})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": 1})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": 1, "method": 5})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": {"x": 1}, "method": "ping"})", INVALID_REQUEST},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "resources/list"})", METHOD_NOT_FOUND},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": []})", INVALID_PARAMS},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "missing"}})", INVALID_PARAMS},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "echo", "arguments": {}}})",
       INVALID_PARAMS},
      {R"({"jsonrpc": "2.0", "id": 1, "method": "tools/call", "params": {"name": "echo", "arguments": {"text": 3}}})",
       INVALID_PARAMS},
  };
  for (const auto& c : cases) {
    auto response = server_.handle_line(c.line);
    ASSERT_TRUE(response.has_value()) << c.line;
    EXPECT_EQ(Json::parse(*response)["error"]["code"], c.code) << c.line;
  }
  EXPECT_EQ(request("ping", Json::object(), 9), (Json{{"jsonrpc", "2.0"}, {"id", 9}, {"result", Json::object()}}));
}

TEST_F(McpServerTest, NotificationsAndBlankLinesGetNoAnswer) {
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc": "2.0", "method": "notifications/initialized"})").has_value());
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc": "2.0", "method": "tools/call"})").has_value());
  EXPECT_FALSE(server_.handle_line("   ").has_value());
  EXPECT_FALSE(server_.handle_line(R"({"jsonrpc": "2.0", "id": 3, "result": {}})").has_value());
}

TEST_F(McpServerTest, ServeAnswersLineByLineUntilInputEnds) {
  std::istringstream in(
      "{\"jsonrpc\": \"2.0\", \"id\": 1, \"method\": \"ping\"}\r\n"
      "{\"jsonrpc\": \"2.0\", \"method\": \"notifications/initialized\"}\n"
      "garbage\n"
      "{\"jsonrpc\": \"2.0\", \"id\": \"b\", \"method\": \"ping\"}");
  std::ostringstream out;
  server_.serve(in, out);
  EXPECT_EQ(out.str(),
            "{\"jsonrpc\": \"2.0\", \"id\": 1, \"result\": {}}\n"
            "{\"jsonrpc\": \"2.0\", \"id\": null, \"error\": {\"code\": -32700, \"message\": \"Parse error\"}}\n"
            "{\"jsonrpc\": \"2.0\", \"id\": \"b\", \"result\": {}}\n");
}

TEST(IsErrorText, RecognisesErrorPrefixesAndChartErrors) {
  EXPECT_TRUE(is_error_text("Error: No database connection configured"));
  EXPECT_TRUE(is_error_text("Error executing query: boom"));
  EXPECT_TRUE(is_error_text(R"({"charts": [], "error": "Missing tool_call_id"})"));
  EXPECT_FALSE(is_error_text(R"({"headers": ["error"], "rows": []})"));
  EXPECT_FALSE(is_error_text(R"({"charts": [{"path": "/a.png"}]})"));
  EXPECT_FALSE(is_error_text("{broken"));
}

TEST_F(McpServerTest, DeepNestingIsAParseErrorAndTheServerKeepsServing) {
  std::string deep = R"({"jsonrpc": "2.0", "id": 1, "method": "ping", "params": {"a": )" + std::string(100000, '[') +
                     std::string(100000, ']') + "}}";
  EXPECT_EQ(Json::parse(*server_.handle_line(deep))["error"]["code"], PARSE_ERROR);
  std::istringstream in(deep + "\n" + R"({"jsonrpc": "2.0", "id": 2, "method": "ping"})" + "\n");
  std::ostringstream out;
  server_.serve(in, out);
  EXPECT_EQ(out.str(),
            "{\"jsonrpc\": \"2.0\", \"id\": null, \"error\": {\"code\": -32700, \"message\": \"Parse error\"}}\n"
            "{\"jsonrpc\": \"2.0\", \"id\": 2, \"result\": {}}\n");
}

TEST_F(McpServerTest, JsonObjectResultsCarryStructuredContent) {
  Json object = request("tools/call", {{"name", "json"}, {"arguments", Json::object()}})["result"];
  EXPECT_EQ(object["content"][0]["text"], R"({"headers": ["n"], "rows": [[1]]})");
  EXPECT_EQ(object["structuredContent"], (Json{{"headers", {"n"}}, {"rows", {{1}}}}));
  EXPECT_EQ(object["isError"], false);
  // Text and arrays are not structured content (it must be an object).
  Json text = request("tools/call", {{"name", "echo"}, {"arguments", {{"text", "[1, 2]"}}}})["result"];
  EXPECT_FALSE(text.contains("structuredContent"));
}

// A world with skills: a state whose skills_metadata points at SKILL.md files.
class McpPromptsTest : public ::testing::Test {
 protected:
  McpPromptsTest() {
    dir_ = fs::temp_directory_path() / ("velko-mcp-prompts-" + std::to_string(::getpid()));
    fs::create_directories(dir_ / "sql-review");
    std::ofstream(dir_ / "sql-review" / "SKILL.md") << "---\nname: sql-review\ndescription: Review SQL\n---\n# Do it\n";
    Json skills = Json::array({
        {{"name", "sql-review"}, {"description", "Review SQL"}, {"path", (dir_ / "sql-review" / "SKILL.md").string()}},
        {{"name", "sql-review"}, {"description", "the default one"}, {"path", "/nonexistent/SKILL.md"}},
        {{"name", "gone"}, {"description", "deleted after discovery"}, {"path", (dir_ / "gone" / "SKILL.md").string()}},
    });
    server_ =
        std::make_unique<Server>(std::make_shared<host::Agent>(std::vector<std::shared_ptr<host::AgentMiddleware>>{}),
                                 options_for({{"skills_metadata", skills}}, "prompt"));
  }
  ~McpPromptsTest() override { fs::remove_all(dir_); }
  Json request(const std::string& method, const Json& params) {
    return Json::parse(
        *server_->handle_line(base::dumps({{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}})));
  }
  fs::path dir_;
  std::unique_ptr<Server> server_;
};

TEST_F(McpPromptsTest, SkillsAreListedOnceAndGetReturnsTheirSkillMd) {
  Json prompts = request("prompts/list", Json::object())["result"]["prompts"];
  EXPECT_EQ(prompts, (Json::array({{{"name", "sql-review"}, {"description", "Review SQL"}},
                                   {{"name", "gone"}, {"description", "deleted after discovery"}}})));
  Json got = request("prompts/get", {{"name", "sql-review"}})["result"];
  EXPECT_EQ(got["description"], "Review SQL");
  EXPECT_EQ(got["messages"],
            (Json::array(
                {{{"role", "user"},
                  {"content",
                   {{"type", "text"}, {"text", "---\nname: sql-review\ndescription: Review SQL\n---\n# Do it\n"}}}}})));
  EXPECT_EQ(request("prompts/get", {{"name", "nope"}})["error"]["code"], INVALID_PARAMS);
  EXPECT_EQ(request("prompts/get", Json::object())["error"]["code"], INVALID_PARAMS);
  Json gone = request("prompts/get", {{"name", "gone"}});
  EXPECT_EQ(gone["error"]["code"], INTERNAL_ERROR);
  EXPECT_EQ(request("initialize", Json::object())["result"]["capabilities"]["prompts"]["listChanged"], false);
}

// Chart listings become image items; what is not a PNG/JPEG regular file is left out.
class ChartImagesTest : public ::testing::Test {
 protected:
  ChartImagesTest() {
    dir_ = fs::temp_directory_path() / ("velko-mcp-charts-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  ~ChartImagesTest() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& data) {
    std::ofstream(dir_ / name, std::ios::binary) << data;
    return (dir_ / name).string();
  }
  static std::string png(size_t extra) { return std::string("\x89PNG\r\n\x1a\n", 8) + std::string(extra, 'x'); }
  static Json listing(const std::vector<std::string>& paths) {
    Json charts = Json::array();
    for (const auto& path : paths) charts.push_back({{"path", path}, {"filename", fs::path(path).filename().string()}});
    return {{"charts", charts}};
  }
  fs::path dir_;
};

TEST_F(ChartImagesTest, AttachesImagesUpToTheLimitsAndNamesTheOthers) {
  std::string a = write("a.png", png(10));
  std::string b = write("b.jpg", "\xFF\xD8\xFF\xE0 jpeg");
  std::string secret = write("secret.txt", "password=hunter2");
  fs::create_symlink(secret, dir_ / "link.png");
  std::string fake = write("fake.png", "password=hunter2");
  Json items = chart_image_content(
      base::dumps(listing({a, (dir_ / "link.png").string(), fake, b, (dir_ / "missing.png").string(), a, a, a})),
      std::nullopt);
  ASSERT_EQ(items.size(), 5u);  // 4 images and the note
  EXPECT_EQ(items[0], (Json{{"type", "image"}, {"data", base::base64_encode(png(10))}, {"mimeType", "image/png"}}));
  EXPECT_EQ(items[1]["mimeType"], "image/jpeg");
  EXPECT_EQ(items[4]["type"], "text");
  std::string note = items[4]["text"];
  EXPECT_NE(note.find("link.png (a symbolic link)"), std::string::npos) << note;
  EXPECT_NE(note.find("fake.png (not a PNG or JPEG image)"), std::string::npos) << note;
  EXPECT_NE(note.find("missing.png (cannot be read)"), std::string::npos) << note;
  EXPECT_NE(note.find("a.png (more than 4 images)"), std::string::npos) << note;
  EXPECT_EQ(base::dumps(items).find("hunter2"), std::string::npos);
  EXPECT_EQ(base::dumps(items).find(base::base64_encode("password=hunter2")), std::string::npos);
}

TEST_F(ChartImagesTest, TheSizeBudgetIsSharedAndStorageKeysAreChecked) {
  std::string big = write("big.png", png(3u << 20));
  std::string big2 = write("big2.png", png(3u << 20));
  Json items = chart_image_content(base::dumps(listing({big, big2})), std::nullopt);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]["type"], "image");
  EXPECT_NE(items[1]["text"].get<std::string>().find("big2.png (over the size limit)"), std::string::npos);

  fs::create_directories(dir_ / "charts" / "c1");
  write("charts/c1/a.png", png(3));
  Json web = {{"charts",
               {{{"url", "file:///x"}, {"key", "charts/c1/a.png"}, {"filename", "a.png"}},
                {{"url", "file:///y"}, {"key", "../../etc/passwd"}, {"filename", "passwd"}}}}};
  items = chart_image_content(base::dumps(web), dir_);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]["data"], base::base64_encode(png(3)));
  EXPECT_NE(items[1]["text"].get<std::string>().find("passwd (no readable location)"), std::string::npos);

  EXPECT_EQ(chart_image_content(R"({"charts": [], "error": "boom"})", std::nullopt), Json::array());
  EXPECT_EQ(chart_image_content("not json", std::nullopt), Json::array());
  EXPECT_EQ(chart_image_content(R"({"charts": "x"})", std::nullopt), Json::array());
}

TEST_F(ChartImagesTest, GenerateChartsKeepsItsTextItemAndAddsImages) {
  Server server(std::make_shared<host::Agent>(
                    std::vector<std::shared_ptr<host::AgentMiddleware>>{std::make_shared<EchoMiddleware>()}),
                ServerOptions{});
  std::string text = base::dumps(listing({write("a.png", png(1))}));
  Json result = Json::parse(*server.handle_line(
      base::dumps({{"jsonrpc", "2.0"},
                   {"id", 1},
                   {"method", "tools/call"},
                   {"params", {{"name", "generate_charts"}, {"arguments", {{"listing", text}}}}}})))["result"];
  ASSERT_EQ(result["content"].size(), 2u);
  EXPECT_EQ(result["content"][0], (Json{{"type", "text"}, {"text", text}}));
  EXPECT_EQ(result["content"][1]["type"], "image");
  EXPECT_EQ(result["isError"], false);
}

TEST(LineReader, BoundsLinesAndSkipsToTheNextNewline) {
  std::string input = "short\r\n" + std::string(40, 'x') + "\n" + std::string(16, 'y') + "\n\nlast";
  std::istringstream in(input);
  LineReader reader(in.rdbuf(), 16);
  auto first = reader.next();
  EXPECT_EQ(first->text, "short");
  auto over = reader.next();
  EXPECT_TRUE(over->too_long);
  EXPECT_EQ(over->length, 40u);
  EXPECT_TRUE(over->text.empty());
  auto exact = reader.next();
  EXPECT_FALSE(exact->too_long);
  EXPECT_EQ(exact->text, std::string(16, 'y'));
  EXPECT_EQ(reader.next()->text, "");
  EXPECT_EQ(reader.next()->text, "last");
  EXPECT_FALSE(reader.next().has_value());
}

TEST_F(McpServerTest, ServeAnswersALineOverTheLimitAndKeepsServing) {
  std::istringstream in(std::string(MAX_LINE_BYTES + 10, ' ') + "\n" +
                        R"({"jsonrpc": "2.0", "id": 2, "method": "ping"})");
  std::ostringstream out;
  server_.serve(in, out);
  const std::string written = out.str();
  auto lines = base::split(base::strip(written), '\n');
  ASSERT_EQ(lines.size(), 2u);
  Json refused = Json::parse(lines[0]);
  EXPECT_EQ(refused["error"]["code"], INVALID_REQUEST);
  EXPECT_NE(refused["error"]["message"].get<std::string>().find(std::to_string(MAX_LINE_BYTES + 10) + " bytes"),
            std::string::npos);
  EXPECT_EQ(Json::parse(lines[1])["id"], 2);
}

TEST(WorkerPool, SubmitWaitsWhileWorkersAndQueueAreFull) {
  WorkerPool pool(2, 1);
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::atomic<int> ran{0};
  auto blocker = [&] {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return release; });
    ++ran;
  };
  for (int task_idx = 0; task_idx < 3; ++task_idx) pool.submit(blocker);  // 2 running, 1 queued
  std::atomic<bool> fourth_submitted{false};
  std::thread producer([&] {
    pool.submit(blocker);
    fourth_submitted = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(fourth_submitted);  // the producer waits: nothing grows
  EXPECT_LE(pool.pending(), 3u);
  {
    std::lock_guard lock(mu);
    release = true;
  }
  cv.notify_all();
  producer.join();
  EXPECT_TRUE(fourth_submitted);
  while (pool.pending() != 0) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(ran, 4);
}

// Records what a session sends for one request.
class RecordingOutbox : public Outbox {
 public:
  void send(const std::string& line) override {
    std::lock_guard lock(mu_);
    lines_.push_back(Json::parse(line));
    cv_.notify_all();
  }
  void done() override {
    std::lock_guard lock(mu_);
    ++done_;
    cv_.notify_all();
  }
  // Waits until `count` messages came (or 10 s passed); returns them.
  std::vector<Json> wait_for(size_t count) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, 10s, [&] { return lines_.size() >= count; });
    return lines_;
  }
  bool wait_done(int count = 1) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, 10s, [&] { return done_ >= count; });
  }
  std::vector<Json> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Json> lines_;
  int done_ = 0;
};

std::string wait_call(int id, double seconds, const Json& meta = Json()) {
  Json params = {{"name", "wait"}, {"arguments", {{"seconds", seconds}}}};
  if (!meta.is_null()) params["_meta"] = meta;
  return base::dumps({{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}});
}

class McpSessionTest : public McpServerTest {
 protected:
  WorkerPool pool_{2, 2};
};

TEST_F(McpSessionTest, PingAnswersWhileACallRunsAndACancelledCallGetsNoResponse) {
  Session session(server_, server_.default_session(), pool_);
  auto slow = std::make_shared<RecordingOutbox>();
  auto quick = std::make_shared<RecordingOutbox>();
  int cancelled_before = g_waits_cancelled;
  int started_before = g_waits_started;
  session.receive(wait_call(1, 30), slow);
  session.receive(R"({"jsonrpc": "2.0", "id": 2, "method": "ping"})", quick);
  EXPECT_EQ(quick->wait_for(1).at(0)["id"], 2);
  EXPECT_EQ(session.in_flight(), 1u);
  // The same id again while it runs is refused.
  auto duplicate = std::make_shared<RecordingOutbox>();
  session.receive(wait_call(1, 1), duplicate);
  EXPECT_EQ(duplicate->wait_for(1).at(0)["error"]["code"], INVALID_REQUEST);

  ASSERT_TRUE(waits_started(started_before + 1));
  session.receive(R"({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 1}})",
                  std::make_shared<RecordingOutbox>());
  ASSERT_TRUE(slow->wait_done());
  EXPECT_TRUE(slow->lines().empty());
  EXPECT_EQ(g_waits_cancelled, cancelled_before + 1);
  EXPECT_EQ(session.in_flight(), 0u);
  // Cancelling what is not running is harmless; the id is free again.
  session.receive(R"({"jsonrpc": "2.0", "method": "notifications/cancelled", "params": {"requestId": 99}})",
                  std::make_shared<RecordingOutbox>());
  auto again = std::make_shared<RecordingOutbox>();
  session.receive(wait_call(1, 0), again);
  EXPECT_EQ(again->wait_for(1).at(0)["result"]["content"][0]["text"], "waited");
  // A client may reuse an id the moment it reads the response: it is never refused.
  for (int round = 0; round < 50; ++round) {
    auto next = std::make_shared<RecordingOutbox>();
    session.receive(wait_call(7, 0), next);
    ASSERT_EQ(next->wait_for(1).at(0)["result"]["content"][0]["text"], "waited") << "round " << round;
  }
}

TEST_F(McpSessionTest, CloseCancelsEverythingInFlightAndQueued) {
  int cancelled_before = g_waits_cancelled;
  int started_before = g_waits_started;
  std::vector<std::shared_ptr<RecordingOutbox>> outboxes;
  {
    Session session(server_, server_.default_session(), pool_);
    for (int id = 1; id <= 4; ++id) {  // 2 run, 2 wait in the queue
      outboxes.push_back(std::make_shared<RecordingOutbox>());
      session.receive(wait_call(id, 30), outboxes.back());
    }
    ASSERT_TRUE(waits_started(started_before + 2));
    auto start = std::chrono::steady_clock::now();
    session.close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(session.in_flight(), 0u);
    auto late = std::make_shared<RecordingOutbox>();
    session.receive(wait_call(9, 0), late);
    EXPECT_EQ(late->wait_for(1).at(0)["error"]["code"], INVALID_REQUEST);
  }
  for (const auto& outbox : outboxes) {
    EXPECT_TRUE(outbox->wait_done());
    EXPECT_TRUE(outbox->lines().empty());
  }
  EXPECT_EQ(g_waits_cancelled, cancelled_before + 2);  // the queued two never started
  EXPECT_EQ(g_waits_started, started_before + 2);
}

TEST_F(McpSessionTest, ProgressComesWhileACallRunsAndNeverAfterItsResponse) {
  Session session(server_, server_.default_session(), pool_);
  auto outbox = std::make_shared<RecordingOutbox>();
  session.receive(wait_call(5, 1.6, {{"progressToken", "tok"}}), outbox);
  ASSERT_TRUE(outbox->wait_done());
  std::this_thread::sleep_for(PROGRESS_INTERVAL * 2);
  std::vector<Json> lines = outbox->lines();
  ASSERT_GE(lines.size(), 3u);
  for (size_t idx = 0; idx + 1 < lines.size(); ++idx) {
    EXPECT_EQ(lines[idx]["method"], "notifications/progress");
    EXPECT_EQ(lines[idx]["params"]["progressToken"], "tok");
    EXPECT_EQ(lines[idx]["params"]["progress"], idx + 1);
  }
  EXPECT_EQ(lines.back()["id"], 5);
  EXPECT_EQ(lines.back()["result"]["content"][0]["text"], "waited");
  // Without a token, no progress.
  auto plain = std::make_shared<RecordingOutbox>();
  session.receive(wait_call(6, 0.8), plain);
  ASSERT_TRUE(plain->wait_done());
  EXPECT_EQ(plain->lines().size(), 1u);
}

TEST(HttpChecks, LoopbackHostsOriginsAndTokens) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "localhost", "LOCALHOST", "::1", "[::1]"}) {
    EXPECT_TRUE(is_loopback_host(host)) << host;
  }
  for (const char* host : {"0.0.0.0", "10.0.0.1", "127.0.0.1.evil.com", "128.0.0.1", "127.0.0", "127.0.0.256",
                           "::", "example.com", "", "localhost.evil.com"}) {
    EXPECT_FALSE(is_loopback_host(host)) << host;
  }
  for (const char* origin : {"http://localhost", "http://localhost:3000", "https://127.0.0.1:8443", "http://[::1]:80",
                             "http://LOCALHOST/"}) {
    EXPECT_TRUE(origin_allowed(origin, {})) << origin;
  }
  for (const char* origin :
       {"http://evil.com", "http://localhost.evil.com", "http://127.0.0.1.nip.io", "null", "file://",
        "http://evil.com@localhost", "http://localhost@evil.com", "ftp://localhost", "http://[::1].evil.com"}) {
    EXPECT_FALSE(origin_allowed(origin, {})) << origin;
  }
  EXPECT_TRUE(origin_allowed("https://app.example.com", {"https://app.example.com"}));
  EXPECT_FALSE(origin_allowed("http://localhost", {"https://app.example.com"}));
  EXPECT_TRUE(tokens_equal("s3cret", "s3cret"));
  EXPECT_FALSE(tokens_equal("s3cre", "s3cret"));
  EXPECT_FALSE(tokens_equal("s3cretX", "s3cret"));
  EXPECT_FALSE(tokens_equal("", "s3cret"));
  EXPECT_FALSE(tokens_equal(std::string("s3cret\0", 7), "s3cret"));
}

}  // namespace
}  // namespace velko::mcp
