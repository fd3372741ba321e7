// A small HTTP client over libcurl: one request per call, one time-out for the whole
// exchange, any method, headers and body; the status, headers and body come back.
//
//   base::HttpRequest request;
//   request.method = "POST";
//   request.url = "https://api.example.com/v1/items";
//   request.headers = {{"Authorization", "Bearer " + token}, {"Content-Type", "application/json"}};
//   request.body = base::dumps(payload);
//   base::HttpResponse response = base::http_request(request);
//   base::raise_for_status(response);          // HTTPStatusError for 4xx and 5xx
//   Json value = base::loads(response.body);
//
// Each call opens its own connection and closes it before returning; nothing is kept
// between calls. Only http and https URLs are accepted; TLS certificates and host names
// are verified unless the request turns that off; redirects are not followed (a 3xx is
// returned as it is). The process's proxy variables (http_proxy, https_proxy, no_proxy)
// apply as libcurl reads them.
//
// Errors: a status of 400 or more is not an error of http_request (see raise_for_status).
// Transport failures throw ConnectError (the server could not be reached) or
// TransportError (the exchange broke off, TLS failed, the body was too large); the time
// limit throws base::TimeoutError; a malformed URL, an unsupported scheme, a bad method
// name or a header that would break the request (CR, LF or NUL in it) throws ValueError.
// Error texts name the method and the URL without its user information, query and
// fragment; they never contain header values or the body, so tokens sent in headers
// never reach an error text.
//
// Streaming: http_stream hands the body of a successful (2xx) response to a sink piece by
// piece as it arrives, for server-sent events and other long answers; the other statuses
// keep their body in the response as http_request does, so their error text can be read.
//
// Cancellation: a request carrying a CancelSignal stops as soon as the signal fires (the
// connection is closed; no waiting for the next byte) and throws CancelledError.
//
// Thread-safe: any number of threads may call http_request at once (libcurl's global
// initialisation runs once, on first use).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velko/base/cancel.h"
#include "velko/base/errors.h"

namespace velko::base {

// Header name and value pairs, in the order they are sent or were received.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

inline constexpr double DEFAULT_HTTP_TIMEOUT_SECONDS = 30.0;
inline constexpr size_t DEFAULT_MAX_RESPONSE_BYTES = size_t{64} << 20;  // 64 MiB

struct HttpRequest {
  // An HTTP method token ("GET", "POST", "put", ...); sent upper-cased.
  std::string method = "GET";
  std::string url;
  HttpHeaders headers;
  // The request body, sent as it is. A POST without a body sends Content-Length: 0.
  // No Content-Type is invented: set one in `headers` when the body has one.
  std::optional<std::string> body;
  // One limit for the whole exchange, connection included, in seconds. Must be > 0;
  // infinity means no limit.
  double timeout_seconds = DEFAULT_HTTP_TIMEOUT_SECONDS;
  // Verify the server's TLS certificate and host name (https only).
  bool verify_tls = true;
  // A (decoded) body larger than this ends the exchange with TransportError.
  size_t max_response_bytes = DEFAULT_MAX_RESPONSE_BYTES;
  // When set and cancelled, the exchange stops at once and CancelledError is thrown.
  CancelSignalPtr cancel = nullptr;
};

struct HttpResponse {
  long status = 0;
  // The reason phrase of the status line, or the standard one when the server sent none.
  std::string reason;
  HttpHeaders headers;
  std::string body;
  // The request's method (upper case) and its URL in the redacted form of safe_url().
  std::string method;
  std::string url;

  // The first header of that name (compared without regard to case), or nullopt.
  std::optional<std::string> header(std::string_view name) const;
  bool is_success() const { return status >= 200 && status < 300; }
};

// The server could not be reached or the exchange broke off (kind "TransportError").
class TransportError : public OSError {
 public:
  explicit TransportError(const std::string& message) : OSError(message) {}
  const char* kind() const noexcept override { return "TransportError"; }
};

// Name resolution or the connection itself failed (kind "ConnectError").
class ConnectError : public TransportError {
 public:
  explicit ConnectError(const std::string& message) : TransportError(message) {}
  const char* kind() const noexcept override { return "ConnectError"; }
};

// A response with status 400 or more, raised by raise_for_status. The text reads
// "Client error '401 Unauthorized' for url 'https://host/path'" ("Server error" for 5xx);
// the whole response stays available through response().
class HTTPStatusError : public Error {
 public:
  explicit HTTPStatusError(HttpResponse response);
  const char* kind() const noexcept override { return "HTTPStatusError"; }
  const HttpResponse& response() const { return response_; }

 private:
  HttpResponse response_;
};

// Sends one request and returns the response, whatever its status. Throws as described
// at the top of this file.
HttpResponse http_request(const HttpRequest& request);

// Receives the body of a successful response piece by piece, in order, on the calling
// thread. Pieces have no relation to lines or events. Whatever it throws ends the exchange
// and propagates out of http_stream.
using HttpBodySink = std::function<void(std::string_view piece)>;

// Sends one request like http_request. When the status is 2xx, the body goes to `sink` as
// it arrives and the returned response's body is empty; otherwise the body is collected
// in the response as http_request does and `sink` is not called. max_response_bytes bounds
// the streamed bytes too. Throws what http_request throws, and what `sink` throws.
HttpResponse http_stream(const HttpRequest& request, const HttpBodySink& sink);

// Throws HTTPStatusError when response.status >= 400; does nothing otherwise.
void raise_for_status(const HttpResponse& response);

// `url` as error texts show it: scheme, host, port and path; user information, query and
// fragment removed ("https://user:pw@h/p?token=x" -> "https://h/p").
std::string safe_url(std::string_view url);

// The standard reason phrase of an HTTP status ("Not Found"), or "" when unknown.
std::string_view status_reason(long status);

// True for "localhost", IPv4 127.0.0.0/8 and IPv6 ::1 (with or without brackets): the
// hosts a plain-http or unauthenticated exchange may use, as nothing leaves the machine.
bool is_loopback_host(std::string_view host);

}  // namespace velko::base
