#include "tests/support/http_test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace velko::test_support {
namespace {

constexpr size_t kMaxHeaderBytes = size_t{1} << 20;
constexpr int kReadTimeoutMillis = 10000;

bool equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t idx = 0; idx < a.size(); ++idx) {
    if (std::tolower(static_cast<unsigned char>(a[idx])) != std::tolower(static_cast<unsigned char>(b[idx]))) {
      return false;
    }
  }
  return true;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

const char* reason_of(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 204:
      return "No Content";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 422:
      return "Unprocessable Entity";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

// Reads from a connection with a time limit, keeping what was read but not yet used.
class Reader {
 public:
  explicit Reader(int fd) : fd_(fd) {}

  // Reads until `buffer_` holds `delimiter`; returns the text before it and drops both.
  std::optional<std::string> read_until(std::string_view delimiter, size_t limit) {
    for (;;) {
      size_t found = buffer_.find(delimiter);
      if (found != std::string::npos) {
        std::string text = buffer_.substr(0, found);
        buffer_.erase(0, found + delimiter.size());
        return text;
      }
      if (buffer_.size() > limit || !fill()) return std::nullopt;
    }
  }

  std::optional<std::string> read_exactly(size_t count) {
    while (buffer_.size() < count) {
      if (!fill()) return std::nullopt;
    }
    std::string text = buffer_.substr(0, count);
    buffer_.erase(0, count);
    return text;
  }

 private:
  bool fill() {
    pollfd waiting{fd_, POLLIN, 0};
    if (::poll(&waiting, 1, kReadTimeoutMillis) <= 0) return false;
    char chunk[16384];
    ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(got));
    return true;
  }

  int fd_;
  std::string buffer_;
};

void send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR) continue;
      return;  // the client went away (after its own time-out, say)
    }
    data.remove_prefix(static_cast<size_t>(sent));
  }
}

std::optional<std::string> read_chunked_body(Reader& reader) {
  std::string body;
  for (;;) {
    auto size_line = reader.read_until("\r\n", kMaxHeaderBytes);
    if (!size_line) return std::nullopt;
    size_t size = std::stoul(std::string(trim(size_line->substr(0, size_line->find(';')))), nullptr, 16);
    if (size == 0) {
      // Trailers until the empty line.
      for (;;) {
        auto trailer = reader.read_until("\r\n", kMaxHeaderBytes);
        if (!trailer) return std::nullopt;
        if (trailer->empty()) return body;
      }
    }
    auto chunk = reader.read_exactly(size + 2);
    if (!chunk) return std::nullopt;
    body.append(*chunk, 0, size);
  }
}

// Reads one request; nullopt when the connection closed or sent something unreadable.
std::optional<RecordedRequest> read_request(int fd) {
  Reader reader(fd);
  auto head = reader.read_until("\r\n\r\n", kMaxHeaderBytes);
  if (!head) return std::nullopt;
  RecordedRequest request;
  size_t line_end = head->find("\r\n");
  std::string_view request_line = std::string_view(*head).substr(0, line_end);
  size_t first_space = request_line.find(' ');
  size_t second_space = request_line.find(' ', first_space + 1);
  if (first_space == std::string_view::npos || second_space == std::string_view::npos) return std::nullopt;
  request.method = std::string(request_line.substr(0, first_space));
  std::string target(request_line.substr(first_space + 1, second_space - first_space - 1));
  size_t question = target.find('?');
  request.path = target.substr(0, question);
  if (question != std::string::npos) request.query = target.substr(question + 1);

  std::string_view rest =
      line_end == std::string::npos ? std::string_view() : std::string_view(*head).substr(line_end + 2);
  while (!rest.empty()) {
    size_t end = rest.find("\r\n");
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    request.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
  }

  if (auto expect = request.header("Expect"); expect && equals_ignore_case(*expect, "100-continue")) {
    send_all(fd, "HTTP/1.1 100 Continue\r\n\r\n");
  }
  if (auto encoding = request.header("Transfer-Encoding"); encoding && equals_ignore_case(*encoding, "chunked")) {
    auto body = read_chunked_body(reader);
    if (!body) return std::nullopt;
    request.body = std::move(*body);
  } else if (auto length = request.header("Content-Length")) {
    auto body = reader.read_exactly(std::stoul(*length));
    if (!body) return std::nullopt;
    request.body = std::move(*body);
  }
  return request;
}

std::string render(const ScriptedResponse& response) {
  std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + reason_of(response.status) + "\r\n";
  if (!response.content_type.empty()) out += "Content-Type: " + response.content_type + "\r\n";
  if (response.chunks.empty()) {
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
  } else {
    out += "Transfer-Encoding: chunked\r\n";
  }
  out += "Connection: close\r\n";
  for (const auto& [name, value] : response.headers) out += name + ": " + value + "\r\n";
  out += "\r\n";
  if (response.chunks.empty()) out += response.body;
  return out;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equals_ignore_case(key, name)) return value;
  }
  return std::nullopt;
}

HttpTestServer::HttpTestServer() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("HttpTestServer: socket() failed");
  int yes = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listen_fd_, 64) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(wake_pipe_, O_CLOEXEC) != 0) {
    ::close(listen_fd_);
    throw std::runtime_error("HttpTestServer: no port could be bound on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

HttpTestServer::~HttpTestServer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  stop_cv_.notify_all();
  char wake = 'x';
  [[maybe_unused]] ssize_t written = ::write(wake_pipe_[1], &wake, 1);
  acceptor_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mu_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection.join();
  ::close(listen_fd_);
  ::close(wake_pipe_[0]);
  ::close(wake_pipe_[1]);
}

void HttpTestServer::accept_loop() {
  for (;;) {
    pollfd waiting[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (::poll(waiting, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (waiting[1].revents != 0) return;
    int connection = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) {
      ::close(connection);
      return;
    }
    connections_.emplace_back([this, connection] { serve(connection); });
  }
}

void HttpTestServer::serve(int connection) {
  std::optional<RecordedRequest> request;
  try {
    request = read_request(connection);
  } catch (const std::exception&) {
    request.reset();  // a malformed length or chunk size: drop the connection
  }
  if (request) {
    ScriptedResponse response = answer(*request);
    wait_for(response.delay);
    send_all(connection, render(response));
    for (size_t index = 0; index < response.chunks.size(); ++index) {
      if (index > 0) wait_for(response.chunk_delay);
      const std::string& piece = response.chunks[index];
      if (piece.empty()) continue;  // an empty chunk would end the body
      char size[32];
      std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
      send_all(connection, std::string(size) + piece + "\r\n");
    }
    if (!response.chunks.empty() && !response.cut) send_all(connection, "0\r\n\r\n");
  }
  ::shutdown(connection, SHUT_WR);
  ::close(connection);
}

std::string HttpTestServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

void HttpTestServer::respond(const std::string& method, const std::string& path, ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mu_);
  fixed_[{method, path}] = std::move(response);
}

void HttpTestServer::enqueue(const std::string& method, const std::string& path, ScriptedResponse response) {
  std::lock_guard<std::mutex> lock(mu_);
  queued_[{method, path}].push_back(std::move(response));
}

void HttpTestServer::handle(const std::string& method, const std::string& path, Handler handler) {
  std::lock_guard<std::mutex> lock(mu_);
  handlers_[{method, path}] = std::move(handler);
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

void HttpTestServer::clear_requests() {
  std::lock_guard<std::mutex> lock(mu_);
  requests_.clear();
}

ScriptedResponse HttpTestServer::answer(const RecordedRequest& request) {
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.push_back(request);
    auto key = std::make_pair(request.method, request.path);
    if (auto found = handlers_.find(key); found != handlers_.end()) {
      handler = found->second;
    } else if (auto queue = queued_.find(key); queue != queued_.end() && !queue->second.empty()) {
      ScriptedResponse next = std::move(queue->second.front());
      queue->second.pop_front();
      return next;
    } else if (auto fixed = fixed_.find(key); fixed != fixed_.end()) {
      return fixed->second;
    } else {
      ScriptedResponse missing;
      missing.status = 404;
      missing.content_type = "text/plain";
      return missing;
    }
  }
  return handler(request);
}

void HttpTestServer::wait_for(std::chrono::milliseconds delay) {
  if (delay.count() <= 0) return;
  std::unique_lock<std::mutex> lock(mu_);
  stop_cv_.wait_for(lock, delay, [this] { return stopping_; });
}

int unused_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("unused_port: socket() failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    throw std::runtime_error("unused_port: bind() failed");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace velko::test_support
