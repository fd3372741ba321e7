// What both model clients share: their settings, the errors they raise, and one model
// call over base/http with streaming, retries and a total time limit.
//
// Retries: a 429 answer, a 5xx answer (529 "overloaded" included) and nothing else are
// retried, up to max_attempts in all. The wait before the next attempt is the answer's
// retry-after-ms or retry-after (seconds or an HTTP date) when it sent one, otherwise an
// exponential backoff with jitter (initial_backoff_seconds, doubled each time); either is
// capped at max_retry_wait_seconds. A wait that would pass the call's time limit is not
// taken: the call fails at once, saying so. Waits end early on cancellation.
//
// Errors (never holding the API key, which goes only into request headers):
//   ModelApiError  the API answered 4xx/5xx (status()); 401/403 texts name the key's
//                  variable and quote nothing of the answer; other texts quote the API's
//                  own message, the key scrubbed from it, at most 300 bytes.
//   base::TimeoutError      the call's time limit passed.
//   base::CancelledError    the signal fired.
//   base::TransportError / ConnectError   the server could not be reached, or the stream
//                  broke off (no retry: the answer may already be on the user's screen).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "velko/base/cancel.h"
#include "velko/base/errors.h"
#include "velko/base/http.h"

namespace velko::models {

inline constexpr double DEFAULT_MODEL_TIMEOUT_SECONDS = 300.0;
inline constexpr int DEFAULT_MAX_ATTEMPTS = 4;
inline constexpr double DEFAULT_MAX_RETRY_WAIT_SECONDS = 30.0;
inline constexpr double DEFAULT_INITIAL_BACKOFF_SECONDS = 0.5;
inline constexpr long long DEFAULT_MAX_OUTPUT_TOKENS = 8192;

struct ClientSettings {
  std::string model;     // the API's model name ("gpt-4.1-mini")
  std::string api_key;   // "" sends no key (local OpenAI-compatible servers)
  std::string base_url;  // without a trailing "/"
  // One limit for the whole model call, retries and waits included.
  double timeout_seconds = DEFAULT_MODEL_TIMEOUT_SECONDS;
  int max_attempts = DEFAULT_MAX_ATTEMPTS;
  double max_retry_wait_seconds = DEFAULT_MAX_RETRY_WAIT_SECONDS;
  double initial_backoff_seconds = DEFAULT_INITIAL_BACKOFF_SECONDS;
  long long max_output_tokens = DEFAULT_MAX_OUTPUT_TOKENS;
  // The environment variable that holds the key, named in 401/403 errors.
  std::string key_variable;
};

// The model API answered with an error status (kind "ModelApiError").
class ModelApiError : public base::Error {
 public:
  ModelApiError(const std::string& message, long status) : base::Error(message), status_(status) {}
  const char* kind() const noexcept override { return "ModelApiError"; }
  long status() const { return status_; }

 private:
  long status_;
};

// One streamed model call. `provider` names the API in error texts ("OpenAI",
// "Anthropic"). `on_bytes` receives the 2xx body as it arrives (on the calling thread);
// what it throws propagates unchanged. Throws as described at the top of this file.
void stream_model_call(const ClientSettings& settings, std::string_view provider, const std::string& url,
                       const base::HttpHeaders& headers, const std::string& body, const base::CancelSignalPtr& cancel,
                       const std::function<void(std::string_view)>& on_bytes);

// The error text for an answer with `status` and `body` (see the top of this file).
std::string describe_api_error(const ClientSettings& settings, std::string_view provider, long status,
                               std::string_view reason, std::string_view body, int attempts);

// Seconds to wait as the answer's retry-after-ms / retry-after headers ask, or a negative
// number when they ask nothing readable.
double retry_after_seconds(const base::HttpResponse& response);

}  // namespace velko::models
