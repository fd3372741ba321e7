// Errors of the remote services this module talks to (the Chroma server and the OpenAI
// embeddings endpoint), with texts fit for a tool result: the service's own message when
// it sent one, never a credential.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/json.h"

namespace velko::clients::chromadb {

// A failed call to a remote service (kind "RemoteServiceError"). error_type() is the
// service's own error name when it sent one ("NotFoundError", "invalid_request_error").
class RemoteServiceError : public base::Error {
 public:
  RemoteServiceError(const std::string& message, std::string error_type, long status)
      : base::Error(message), error_type_(std::move(error_type)), status_(status) {}
  const char* kind() const noexcept override { return "RemoteServiceError"; }
  const std::string& error_type() const { return error_type_; }
  long status() const { return status_; }

 private:
  std::string error_type_;
  long status_;
};

// `text` with `secret` removed by the product's redaction rule (base::Redactor).
std::string _scrub(std::string text, std::string_view secret);

// The first `max_bytes` bytes of `text` (never splitting a UTF-8 sequence), "..." added
// when something was cut.
std::string _shorten(std::string_view text, size_t max_bytes);

// How much of an error body an error text quotes at most.
inline constexpr size_t MAX_ERROR_BODY_BYTES = 300;

// A service's base URL: `given` when non-empty, else the environment variable `env_name`
// when set and non-empty, else `fallback`; trailing "/" removed.
std::string _service_base_url(const std::optional<std::string>& given, const char* env_name, std::string_view fallback);

// Decodes a JSON body; ValueError "<service> returned a response that is not JSON".
Json _decode_json(const base::HttpResponse& response, std::string_view service);

}  // namespace velko::clients::chromadb
