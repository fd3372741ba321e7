#include "velko/mcp/http_transport.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>

#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/base/strings.h"
#include "velko/mcp/session.h"
#include "velko/mcp/worker_pool.h"

namespace velko::mcp {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* SESSION_HEADER = "Mcp-Session-Id";
constexpr auto KEEP_ALIVE_COMMENT_INTERVAL = std::chrono::seconds(10);

// 128 random bits as 32 hexadecimal digits.
std::string new_session_id() {
  static thread_local std::random_device device;  // getrandom(2) / /dev/urandom
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (int word_idx = 0; word_idx < 4; ++word_idx) {
    uint32_t word = device();
    for (int nibble = 0; nibble < 8; ++nibble, word >>= 4) id += kHex[word & 15];
  }
  return id;
}

void json_error(httplib::Response& res, int status, const std::string& body) {
  res.status = status;
  res.set_content(body, "application/json");
}

// The messages of one POSTed request, handed from the session's threads to the HTTP
// thread that answers it.
class ExchangeOutbox : public Outbox {
 public:
  void send(const std::string& line) override {
    std::lock_guard lock(mu_);
    messages_.push_back(line);
    changed_.notify_all();
  }
  void done() override {
    std::lock_guard lock(mu_);
    done_ = true;
    changed_.notify_all();
  }
  // Waits up to `timeout` for a message or the end. Returns the next message, or nullopt
  // (then `finished` says whether the request has ended and everything was taken).
  std::optional<std::string> next(std::chrono::milliseconds timeout, bool& finished) {
    std::unique_lock lock(mu_);
    changed_.wait_for(lock, timeout, [this] { return done_ || !messages_.empty(); });
    finished = done_ && messages_.empty();
    if (messages_.empty()) return std::nullopt;
    std::string line = std::move(messages_.front());
    messages_.pop_front();
    return line;
  }

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<std::string> messages_;  // guarded by mu_
  bool done_ = false;                 // guarded by mu_
};

}  // namespace

bool tokens_equal(std::string_view given, std::string_view expected) {
  volatile unsigned char diff = given.size() == expected.size() ? 0 : 1;
  for (size_t idx = 0; idx < expected.size(); ++idx) {
    unsigned char other = idx < given.size() ? static_cast<unsigned char>(given[idx]) : 0;
    diff = diff | (static_cast<unsigned char>(expected[idx]) ^ other);
  }
  return diff == 0;
}

bool origin_allowed(std::string_view origin, const std::vector<std::string>& allowed) {
  std::string text = base::ascii_lower(origin);
  while (!text.empty() && text.back() == '/') text.pop_back();
  if (!allowed.empty()) {
    return std::any_of(allowed.begin(), allowed.end(), [&](const std::string& entry) {
      std::string candidate = base::ascii_lower(entry);
      while (!candidate.empty() && candidate.back() == '/') candidate.pop_back();
      return candidate == text;
    });
  }
  std::string_view rest = text;
  if (rest.starts_with("http://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("https://")) {
    rest.remove_prefix(8);
  } else {
    return false;  // "null", file:, other schemes
  }
  if (rest.find_first_of("/@?#") != std::string_view::npos) return false;
  std::string_view host = rest;
  if (host.starts_with("[")) {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view after = host.substr(close + 1);
    if (!after.empty() && !after.starts_with(":")) return false;
    host = host.substr(0, close + 1);
  } else if (size_t colon = host.rfind(':'); colon != std::string_view::npos) {
    host = host.substr(0, colon);
  }
  return is_loopback_host(host);
}

struct HttpTransport::Impl {
  struct HttpSession {
    explicit HttpSession(const Server& server, SessionConfig config, WorkerPool& pool)
        : session(server, std::move(config), pool) {}
    Session session;
    std::atomic<int64_t> last_used{Clock::now().time_since_epoch().count()};
    std::atomic<bool> stream_open{false};
    std::atomic<bool> ended{false};
    void touch() { last_used = Clock::now().time_since_epoch().count(); }
  };

  Impl(const Server& server_in, HttpOptions options_in)
      : server(server_in), options(std::move(options_in)), pool(server.options().workers, server.options().workers) {}

  const Server& server;
  const HttpOptions options;
  WorkerPool pool;
  httplib::Server http;
  std::atomic<bool> stopping{false};

  std::mutex mu;
  // State below is guarded by mu.
  std::map<std::string, std::shared_ptr<HttpSession>> sessions;
  std::condition_variable session_ended;  // a session ended or the transport stops

  std::shared_ptr<HttpSession> find_session(const httplib::Request& req, httplib::Response& res) {
    if (!req.has_header(SESSION_HEADER)) {
      json_error(res, 400, error_response(nullptr, INVALID_REQUEST, "Bad Request: Mcp-Session-Id header is required"));
      return nullptr;
    }
    std::lock_guard lock(mu);
    auto found = sessions.find(req.get_header_value(SESSION_HEADER));
    if (found == sessions.end()) {
      json_error(res, 404, error_response(nullptr, INVALID_REQUEST, "Session not found"));
      return nullptr;
    }
    found->second->touch();
    return found->second;
  }

  // Removes and ends the session of `id` (outside mu: ending waits for its calls).
  void end_session(const std::string& id) {
    std::shared_ptr<HttpSession> gone;
    {
      std::lock_guard lock(mu);
      auto found = sessions.find(id);
      if (found == sessions.end()) return;
      gone = found->second;
      sessions.erase(found);
      gone->ended = true;
      session_ended.notify_all();
    }
    gone->session.close();
  }

  // A new session, or nullptr when the server is full (after ending idle sessions).
  std::shared_ptr<HttpSession> open_session(std::string& id) {
    std::vector<std::string> idle;
    {
      std::lock_guard lock(mu);
      int64_t limit = (Clock::now() - std::chrono::seconds(SESSION_IDLE_SECONDS)).time_since_epoch().count();
      for (const auto& [session_id, session] : sessions) {
        if (session->last_used < limit && session->session.in_flight() == 0) idle.push_back(session_id);
      }
    }
    for (const auto& session_id : idle) end_session(session_id);
    SessionConfig config = options.new_session ? options.new_session() : server.default_session();
    std::lock_guard lock(mu);
    if (stopping || sessions.size() >= options.max_sessions) return nullptr;
    id = new_session_id();
    auto session = std::make_shared<HttpSession>(server, std::move(config), pool);
    sessions.emplace(id, session);
    return session;
  }

  httplib::Server::HandlerResponse check_access(const httplib::Request& req, httplib::Response& res) {
    if (req.path == "/healthz") return httplib::Server::HandlerResponse::Unhandled;
    if (req.path != "/mcp") {
      res.status = 404;
      res.set_content("Not Found", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.has_header("Origin") && !origin_allowed(req.get_header_value("Origin"), options.allowed_origins)) {
      json_error(res, 403, error_response(nullptr, INVALID_REQUEST, "Forbidden: origin not allowed"));
      return httplib::Server::HandlerResponse::Handled;
    }
    if (options.token) {
      std::string header = req.get_header_value("Authorization");
      bool bearer = header.size() > 7 && base::ascii_lower(std::string_view(header).substr(0, 7)) == "bearer ";
      if (!bearer || !tokens_equal(std::string_view(header).substr(7), *options.token)) {
        res.set_header("WWW-Authenticate", "Bearer");
        json_error(res, 401, error_response(nullptr, INVALID_REQUEST, "Unauthorized"));
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  void post(const httplib::Request& req, httplib::Response& res) {
    Incoming message = Server::parse(req.body);
    if (message.kind == Incoming::Kind::kError) {
      json_error(res, 400, message.error_response);
      return;
    }
    std::shared_ptr<HttpSession> session;
    if (message.kind == Incoming::Kind::kRequest && message.method == "initialize") {
      std::string id;
      try {
        session = open_session(id);
      } catch (const std::exception& error) {
        json_error(res, 500,
                   error_response(message.id, INTERNAL_ERROR, std::string("Internal error: ") + error.what()));
        return;
      }
      if (!session) {
        json_error(res, 503, error_response(message.id, INTERNAL_ERROR, "Too many sessions"));
        return;
      }
      res.set_header(SESSION_HEADER, id);
    } else {
      session = find_session(req, res);
      if (!session) return;
    }
    if (message.kind != Incoming::Kind::kRequest) {
      session->session.receive(std::move(message), std::make_shared<ExchangeOutbox>());
      res.status = 202;
      return;
    }
    bool wants_progress = message.params.contains("_meta") && message.params["_meta"].is_object() &&
                          message.params["_meta"].contains("progressToken");
    bool accepts_stream = req.get_header_value("Accept").find("text/event-stream") != std::string::npos;
    Json request_id = message.id;
    auto outbox = std::make_shared<ExchangeOutbox>();
    session->session.receive(std::move(message), outbox);
    if (wants_progress && accepts_stream) {
      res.set_header("Cache-Control", "no-cache");
      res.set_chunked_content_provider(
          "text/event-stream", [this, outbox, session, request_id](size_t, httplib::DataSink& sink) {
            bool finished = false;
            auto line = outbox->next(std::chrono::milliseconds(250), finished);
            if (line) {
              std::string event = "event: message\ndata: " + *line + "\n\n";
              if (!sink.write(event.data(), event.size())) {
                // The client went away: nobody wants the answer any more.
                session->session.receive(Incoming{Incoming::Kind::kNotification, Json(), "notifications/cancelled",
                                                  Json{{"requestId", request_id}}, ""},
                                         std::make_shared<ExchangeOutbox>());
                return false;
              }
              return true;
            }
            if (finished || stopping) sink.done();
            return true;
          });
      return;
    }
    std::optional<std::string> response;
    bool finished = false;
    while (!finished) {
      auto line = outbox->next(std::chrono::milliseconds(1000), finished);
      if (line && line->find("\"method\": \"notifications/progress\"") == std::string::npos) response = std::move(line);
    }
    if (response) {
      res.set_content(*response, "application/json");
    } else {
      res.status = 202;  // cancelled: no response, per the protocol
    }
  }

  void get_stream(const httplib::Request& req, httplib::Response& res) {
    if (req.get_header_value("Accept").find("text/event-stream") == std::string::npos) {
      res.status = 406;
      res.set_content("Not Acceptable: the server stream is text/event-stream", "text/plain");
      return;
    }
    auto session = find_session(req, res);
    if (!session) return;
    if (session->stream_open.exchange(true)) {
      json_error(res, 409, error_response(nullptr, INVALID_REQUEST, "Conflict: the session's stream is already open"));
      return;
    }
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, session](size_t, httplib::DataSink& sink) {
          std::unique_lock lock(mu);
          session_ended.wait_for(lock, KEEP_ALIVE_COMMENT_INTERVAL, [&] { return session->ended || stopping; });
          if (session->ended || stopping) {
            sink.done();
            return true;
          }
          lock.unlock();
          static constexpr std::string_view kComment = ": keep-alive\n\n";
          return sink.write(kComment.data(), kComment.size());
        },
        [session](bool) { session->stream_open = false; });
  }

  void remove(const httplib::Request& req, httplib::Response& res) {
    auto session = find_session(req, res);
    if (!session) return;
    end_session(req.get_header_value(SESSION_HEADER));
    res.status = 200;
  }

  void end_all() {
    std::vector<std::string> ids;
    {
      std::lock_guard lock(mu);
      for (const auto& [id, session] : sessions) ids.push_back(id);
    }
    for (const auto& id : ids) end_session(id);
  }
};

HttpTransport::HttpTransport(const Server& server, HttpOptions options)
    : impl_(std::make_unique<Impl>(server, std::move(options))) {
  Impl* impl = impl_.get();
  size_t threads = std::max<size_t>(impl->options.http_threads, 4);
  impl->http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  impl->http.set_payload_max_length(impl->options.max_body_bytes);
  // Each response is written whole; without this, its last chunk waits for the client's
  // delayed acknowledgement (about 40 ms a call on Linux).
  impl->http.set_tcp_nodelay(true);
  impl->http.set_keep_alive_timeout(5);
  impl->http.set_read_timeout(30);
  impl->http.set_pre_routing_handler(
      [impl](const httplib::Request& req, httplib::Response& res) { return impl->check_access(req, res); });
  impl->http.Get("/healthz",
                 [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
  impl->http.Post("/mcp", [impl](const httplib::Request& req, httplib::Response& res) { impl->post(req, res); });
  impl->http.Get("/mcp", [impl](const httplib::Request& req, httplib::Response& res) { impl->get_stream(req, res); });
  impl->http.Delete("/mcp", [impl](const httplib::Request& req, httplib::Response& res) { impl->remove(req, res); });
}

HttpTransport::~HttpTransport() {
  stop();
  impl_->end_all();
}

int HttpTransport::bind() {
  std::string host = impl_->options.host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  int port = impl_->options.port;
  if (port == 0) {
    port = impl_->http.bind_to_any_port(host);
    if (port <= 0) throw base::OSError("cannot listen on " + impl_->options.host);
  } else if (!impl_->http.bind_to_port(host, port)) {
    throw base::OSError("cannot listen on " + impl_->options.host + ":" + std::to_string(port));
  }
  return port;
}

void HttpTransport::listen() {
  impl_->http.listen_after_bind();
  impl_->end_all();
}

void HttpTransport::stop() {
  {
    std::lock_guard lock(impl_->mu);
    impl_->stopping = true;
    impl_->session_ended.notify_all();
  }
  impl_->end_all();  // cancels what runs, so that the HTTP threads waiting on it return
  impl_->http.stop();
}

}  // namespace velko::mcp
