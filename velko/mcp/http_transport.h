// The MCP Streamable HTTP transport for a Server (cpp-httplib).
//
// POST /mcp carries one JSON-RPC message. initialize opens a session (the response
// carries its Mcp-Session-Id; every later request names it, else 400, or 404 for a
// session that does not exist or has ended). A request is answered with application/json,
// or, when the client accepts text/event-stream and asked for progress, with an SSE
// stream holding its progress notifications and then its response; a cancelled request
// gets 202 and no message; notifications and client responses get 202. GET /mcp opens
// the session's server stream (SSE; this server sends only keep-alive comments on it;
// one per session). DELETE /mcp ends the session, cancelling what it runs. GET /healthz
// answers "ok" without authentication.
//
// Every /mcp request first passes two checks: an Origin header, when present, must be one
// of the allowed origins (by default only http(s) origins on a loopback host), else 403,
// which stops DNS rebinding from a browser; and when a token is set, the Authorization
// header must be "Bearer <token>" (compared in constant time), else 401. Neither check
// logs what it saw. Bodies over max_body_bytes get 413. Each session has its own
// SessionConfig (from new_session) and its own request ids; all sessions share one worker
// pool of the server's size.
//
// Thread-safe: stop() may be called from any thread while listen() runs.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/http.h"
#include "velko/mcp/line_reader.h"
#include "velko/mcp/server.h"

namespace velko::mcp {

struct HttpOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: any free port (bind() says which)
  // The bearer token /mcp requires; nullopt: none (only sensible on a loopback host).
  std::optional<std::string> token;
  // Origins allowed in an Origin header ("https://app.example.com"); empty: loopback only.
  std::vector<std::string> allowed_origins;
  size_t max_body_bytes = MAX_LINE_BYTES;
  // Sessions open at once; an initialize beyond that gets 503 (sessions idle for
  // SESSION_IDLE_SECONDS are ended first to make room).
  size_t max_sessions = 64;
  // Threads serving connections (each keep-alive connection and each open stream holds one).
  size_t http_threads = 64;
  // Builds each new session's state, configuration and instructions; unset: the server's.
  // May throw: the initialize then gets an internal error.
  std::function<SessionConfig()> new_session;
};

inline constexpr int SESSION_IDLE_SECONDS = 1800;

using base::is_loopback_host;
// True when the two texts are equal; the time taken depends only on `expected`'s length.
bool tokens_equal(std::string_view given, std::string_view expected);
// True when `origin` may call the server (see the file comment).
bool origin_allowed(std::string_view origin, const std::vector<std::string>& allowed);

class HttpTransport {
 public:
  // Starts nothing. `server` must outlive the transport.
  HttpTransport(const Server& server, HttpOptions options);
  // Stops serving and ends every session.
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // Binds the listening socket; returns the port. Throws OSError when it cannot bind.
  int bind();
  // Serves until stop(); then ends every session and returns.
  void listen();
  // Makes listen() return. Idempotent.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velko::mcp
