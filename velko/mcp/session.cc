#include "velko/mcp/session.h"

#include <cstdio>
#include <vector>

#include "velko/base/json.h"

namespace velko::mcp {

using Clock = std::chrono::steady_clock;

struct Session::Call {
  Json id;
  base::CancelSignalPtr cancel = std::make_shared<base::CancelSignal>();
  std::shared_ptr<Outbox> reply;
  Json progress_token;  // null: no progress wanted
  Clock::time_point started = Clock::now();
  Clock::time_point next_progress = started + PROGRESS_INTERVAL;
  int progress_sent = 0;  // guarded by send_mu
  bool ended = false;     // guarded by send_mu: the response went out (or never will)
  std::mutex send_mu;     // one message of this call at a time; none after the response
};

void StreamOutbox::send(const std::string& line) {
  std::lock_guard lock(mu_);
  out_ << line << '\n';
  out_.flush();
}

Session::Session(const Server& server, SessionConfig config, WorkerPool& pool)
    : server_(server), config_(std::move(config)), pool_(pool) {}

Session::~Session() { close(); }

void Session::receive(std::string_view line, const std::shared_ptr<Outbox>& reply) {
  receive(Server::parse(line), reply);
}

void Session::receive(Incoming message, const std::shared_ptr<Outbox>& reply) {
  switch (message.kind) {
    case Incoming::Kind::kNone:
      reply->done();
      return;
    case Incoming::Kind::kError:
      reply->send(message.error_response);
      reply->done();
      return;
    case Incoming::Kind::kNotification:
      if (message.method == "notifications/cancelled" && message.params.contains("requestId")) {
        cancel(message.params["requestId"]);
      }
      reply->done();
      return;
    case Incoming::Kind::kRequest:
      break;
  }
  if (!Server::runs_on_pool(message.method)) {
    reply->send(server_.respond(message, config_, CallContext{}));
    reply->done();
    return;
  }

  auto call = std::make_shared<Call>();
  call->id = message.id;
  call->reply = reply;
  if (auto meta = message.params.find("_meta"); meta != message.params.end() && meta->is_object()) {
    auto token = meta->find("progressToken");
    if (token != meta->end() && (token->is_string() || token->is_number_integer())) call->progress_token = *token;
  }
  const std::string key = message.id.dump();
  {
    std::lock_guard lock(mu_);
    if (closed_ || calls_.count(key) != 0) {
      reply->send(error_response(message.id, INVALID_REQUEST,
                                 closed_ ? "Invalid Request: the session has ended"
                                         : "Invalid Request: id " + key + " is already in use by a request in flight"));
      reply->done();
      return;
    }
    calls_.emplace(key, call);
    ++running_;
  }
  if (!call->progress_token.is_null()) start_ticker();
  // Waits while the pool is full: this is the backpressure on the reader.
  pool_.submit([this, call, request = std::move(message)] { run(call, request); });
}

void Session::run(const std::shared_ptr<Call>& call, const Incoming& request) {
  bool closing = false;
  {
    std::lock_guard lock(mu_);
    closing = closed_;  // set before close() fires the signals: nothing queued starts after it
  }
  std::string response;
  if (!closing && !call->cancel->cancelled()) response = server_.respond(request, config_, CallContext{call->cancel});
  {
    // The id is free again before the client can see the response.
    std::lock_guard lock(mu_);
    calls_.erase(call->id.dump());
  }
  {
    std::lock_guard send_lock(call->send_mu);
    call->ended = true;
    // Per the protocol a cancelled request gets no response.
    if (!closing && !call->cancel->cancelled() && !response.empty()) call->reply->send(response);
  }
  call->reply->done();
  std::lock_guard lock(mu_);
  --running_;
  changed_.notify_all();
}

void Session::cancel(const Json& request_id) {
  std::shared_ptr<Call> call;
  {
    std::lock_guard lock(mu_);
    auto found = calls_.find(request_id.dump());
    if (found == calls_.end()) return;  // unknown or already answered: nothing to do
    call = found->second;
  }
  call->cancel->cancel();
}

void Session::start_ticker() {
  std::lock_guard lock(mu_);
  if (ticker_started_ || closed_) return;
  ticker_started_ = true;
  ticker_ = std::thread([this] { tick(); });
}

void Session::tick() {
  std::unique_lock lock(mu_);
  while (!closed_) {
    changed_.wait_for(lock, PROGRESS_INTERVAL / 5);
    if (closed_) break;
    std::vector<std::shared_ptr<Call>> due;
    Clock::time_point now = Clock::now();
    for (const auto& [key, call] : calls_) {
      if (!call->progress_token.is_null() && now >= call->next_progress) {
        call->next_progress = now + PROGRESS_INTERVAL;
        due.push_back(call);
      }
    }
    lock.unlock();
    for (const auto& call : due) {
      std::lock_guard send_lock(call->send_mu);
      if (call->ended || call->cancel->cancelled()) continue;
      double seconds = std::chrono::duration<double>(now - call->started).count();
      ++call->progress_sent;
      char elapsed[32];
      std::snprintf(elapsed, sizeof elapsed, "%.1f", seconds);
      call->reply->send(base::dumps(Json{{"jsonrpc", "2.0"},
                                         {"method", "notifications/progress"},
                                         {"params",
                                          {{"progressToken", call->progress_token},
                                           {"progress", call->progress_sent},
                                           {"message", std::string("running for ") + elapsed + " s"}}}}));
    }
    lock.lock();
  }
}

void Session::close() {
  std::vector<std::shared_ptr<Call>> running;
  std::unique_lock lock(mu_);
  closed_ = true;
  for (const auto& [key, call] : calls_) running.push_back(call);
  changed_.notify_all();
  lock.unlock();
  for (const auto& call : running) call->cancel->cancel();  // outside mu_: callbacks may take a moment
  running.clear();
  lock.lock();
  changed_.wait(lock, [this] { return running_ == 0; });
  std::thread ticker = std::move(ticker_);
  lock.unlock();
  if (ticker.joinable()) ticker.join();
}

size_t Session::in_flight() const {
  std::lock_guard lock(mu_);
  return calls_.size();
}

}  // namespace velko::mcp
