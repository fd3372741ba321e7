// One client's session: the concurrency, cancellation and progress around Server.
//
// receive() takes each line from the client on the reading thread. Errors, notifications
// and the cheap requests (initialize, ping, tools/list, prompts/...) are answered at
// once, so they answer while tool calls run; each tools/call goes to the worker pool,
// whose bounded queue makes receive() wait when the pool and its queue are full (memory
// does not grow with what the client sends). Responses are sent whole to the request's
// Outbox as they complete.
//
// notifications/cancelled {"requestId": id} fires that request's cancellation signal
// (handed to the tool's runtime); a cancelled request gets no response. A request whose
// params carry _meta.progressToken gets notifications/progress every PROGRESS_INTERVAL
// until it ends, never after its response. A request id already in flight gets an
// error. close() cancels everything in flight and returns once the last call has ended.
//
// Thread-safe: receive() may be called from several threads (the HTTP transport does);
// the Session must outlive nothing it handed to the pool, which close() guarantees.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>

#include "velko/mcp/server.h"
#include "velko/mcp/worker_pool.h"

namespace velko::mcp {

inline constexpr std::chrono::milliseconds PROGRESS_INTERVAL{500};

// Where the messages for one request go. send() is called for each message (progress
// notifications, then at most one response), from any thread but never concurrently for
// one request; done() once when the request has ended (after its response, or without
// one when it was cancelled or when the line needed no answer).
class Outbox {
 public:
  virtual ~Outbox() = default;
  virtual void send(const std::string& line) = 0;
  virtual void done() {}
};

// Writes each message and a newline to a stream, flushed, one message at a time.
class StreamOutbox : public Outbox {
 public:
  explicit StreamOutbox(std::ostream& out) : out_(out) {}
  void send(const std::string& line) override;

 private:
  std::mutex mu_;
  std::ostream& out_;  // guarded by mu_
};

class Session {
 public:
  // `server` and `pool` must outlive the session.
  Session(const Server& server, SessionConfig config, WorkerPool& pool);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Handles one line (see the class comment). After close(), requests are refused.
  void receive(std::string_view line, const std::shared_ptr<Outbox>& reply);
  void receive(Incoming message, const std::shared_ptr<Outbox>& reply);

  // Cancels every request in flight and waits until the last has ended. Idempotent.
  void close();

  const SessionConfig& config() const { return config_; }
  // Requests queued or running whose response has not started to go out (a snapshot).
  size_t in_flight() const;

 private:
  struct Call;
  void run(const std::shared_ptr<Call>& call, const Incoming& request);
  void cancel(const Json& request_id);
  void start_ticker();
  void tick();

  const Server& server_;
  const SessionConfig config_;
  WorkerPool& pool_;

  mutable std::mutex mu_;
  // State below is guarded by mu_.
  // Requests whose id is taken, by the id's JSON text. A call leaves this map just before its
  // response goes out, so a client that reuses the id on reading the response is not refused.
  std::map<std::string, std::shared_ptr<Call>> calls_;
  size_t running_ = 0;  // calls accepted whose reply is not yet done(); close() waits for 0
  bool closed_ = false;
  bool ticker_started_ = false;
  std::condition_variable changed_;  // a call ended, or the session closed
  std::thread ticker_;               // started with the first call that wants progress
};

}  // namespace velko::mcp
