#include "velko/models/api_call.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <random>

#include "velko/base/json.h"
#include "velko/base/redact.h"
#include "velko/base/strings.h"

namespace velko::models {
namespace {

// `text` with every form of `secret` masked.
std::string redacted(std::string_view text, std::string_view secret) {
  base::Redactor redactor;
  redactor.add_secret(secret);
  return redactor.redact(text);
}

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxQuotedBytes = 300;

// Waits `seconds` unless the signal fires first (then throws CancelledError).
void wait_or_cancel(double seconds, const base::CancelSignalPtr& cancel) {
  std::mutex mu;
  std::condition_variable woken;
  bool cancelled = false;
  auto subscription = base::on_cancel(cancel, [&] {
    std::lock_guard<std::mutex> lock(mu);
    cancelled = true;
    woken.notify_all();
  });
  std::unique_lock<std::mutex> lock(mu);
  woken.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return cancelled; });
  if (cancelled) throw base::CancelledError();
}

double jitter() {
  thread_local std::mt19937 generator{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 0.25)(generator);
}

// The API's own error message from an error body, or the body's text when it is not the
// usual {"error": {"message": ...}} object.
std::string api_message(std::string_view body) {
  try {
    Json value = base::loads(body);
    if (value.is_object()) {
      auto error = value.find("error");
      if (error != value.end()) {
        if (error->is_object() && error->contains("message") && (*error)["message"].is_string()) {
          return (*error)["message"].get<std::string>();
        }
        if (error->is_string()) return error->get<std::string>();
      }
      if (value.contains("message") && value["message"].is_string()) return value["message"].get<std::string>();
    }
  } catch (const std::exception&) {
    // not JSON: quote the text itself
  }
  return std::string(base::strip(body));
}

}  // namespace

double retry_after_seconds(const base::HttpResponse& response) {
  if (auto millis = response.header("retry-after-ms")) {
    try {
      double value = std::stod(*millis);
      if (std::isfinite(value) && value >= 0) return value / 1000.0;
    } catch (const std::exception&) {
      // unreadable: try retry-after
    }
  }
  auto after = response.header("retry-after");
  if (!after) return -1;
  std::string text(base::strip(*after));
  if (!text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.')) {
    try {
      size_t used = 0;
      double value = std::stod(text, &used);
      if (used == text.size() && std::isfinite(value) && value >= 0) return value;
    } catch (const std::exception&) {
      return -1;
    }
    return -1;
  }
  time_t when = curl_getdate(text.c_str(), nullptr);
  if (when < 0) return -1;
  double seconds = std::difftime(when, std::time(nullptr));
  return seconds > 0 ? seconds : 0;
}

std::string describe_api_error(const ClientSettings& settings, std::string_view provider, long status,
                               std::string_view reason, std::string_view body, int attempts) {
  std::string label = std::string(provider) + " API";
  std::string code = std::to_string(status) + (reason.empty() ? "" : " " + std::string(reason));
  std::string key = settings.key_variable.empty() ? "the API key" : settings.key_variable;
  if (status == 401) {
    if (settings.api_key.empty()) return label + " asks for a key (" + code + "): set " + key;
    return label + " rejected the key (" + code + "): check " + key;
  }
  if (status == 403) {
    return label + " refused access (" + code + ") to model '" + settings.model + "': check " + key +
           " and the model name";
  }
  std::string message = base::shorten(redacted(api_message(body), settings.api_key), kMaxQuotedBytes);
  std::string quoted = message.empty() ? "" : ": " + message;
  if (status == 404) {
    return label + " answered " + code + " for model '" + settings.model + "' at " + base::safe_url(settings.base_url) +
           ": check the model name and the base URL" + quoted;
  }
  std::string tries = attempts > 1 ? " after " + std::to_string(attempts) + " attempts" : "";
  if (status == 429) return label + " rate limit reached (" + code + ")" + tries + quoted;
  if (status >= 500) return label + " server error (" + code + ")" + tries + quoted;
  return label + " refused the request (" + code + ")" + quoted;
}

void stream_model_call(const ClientSettings& settings, std::string_view provider, const std::string& url,
                       const base::HttpHeaders& headers, const std::string& body, const base::CancelSignalPtr& cancel,
                       const std::function<void(std::string_view)>& on_bytes) {
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(settings.timeout_seconds));
  auto remaining = [&] { return std::chrono::duration<double>(deadline - Clock::now()).count(); };
  auto timed_out = [&] {
    return base::TimeoutError(std::string(provider) + " model call exceeded its time limit of " +
                              base::seconds_text(settings.timeout_seconds) + " seconds");
  };
  const int max_attempts = std::max(settings.max_attempts, 1);
  for (int attempt = 1;; ++attempt) {
    base::throw_if_cancelled(cancel);
    double left = remaining();
    if (left <= 0) throw timed_out();
    base::HttpRequest request;
    request.method = "POST";
    request.url = url;
    request.headers = headers;
    request.body = body;
    request.timeout_seconds = left;
    request.cancel = cancel;
    base::HttpResponse response;
    try {
      response = base::http_stream(request, on_bytes);
    } catch (const base::TimeoutError&) {
      throw timed_out();
    }
    if (response.is_success()) return;
    bool retryable = response.status == 429 || response.status >= 500;
    if (!retryable || attempt >= max_attempts) {
      throw ModelApiError(
          describe_api_error(settings, provider, response.status, response.reason, response.body, attempt),
          response.status);
    }
    double wait = retry_after_seconds(response);
    if (wait < 0) wait = settings.initial_backoff_seconds * std::pow(2.0, attempt - 1) * (1.0 + jitter());
    wait = std::min(wait, settings.max_retry_wait_seconds);
    if (wait >= remaining()) {
      throw ModelApiError(
          describe_api_error(settings, provider, response.status, response.reason, response.body, attempt) +
              " (waiting " + base::seconds_text(wait) + " seconds to retry would pass the time limit of " +
              base::seconds_text(settings.timeout_seconds) + " seconds)",
          response.status);
    }
    wait_or_cancel(wait, cancel);
  }
}

}  // namespace velko::models
