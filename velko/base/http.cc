#include "velko/base/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "velko/base/redact.h"
#include "velko/base/strings.h"

namespace velko::base {
namespace {

void ensure_curl_initialised() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw RuntimeError("libcurl could not be initialised");
  });
}

bool is_token_char(unsigned char ch) {
  if (std::isalnum(ch)) return true;
  switch (ch) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
      return true;
    default:
      return false;
  }
}

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char ch : text) {
    if (!is_token_char(ch)) return false;
  }
  return true;
}

bool equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t idx = 0; idx < a.size(); ++idx) {
    if (std::tolower(static_cast<unsigned char>(a[idx])) != std::tolower(static_cast<unsigned char>(b[idx]))) {
      return false;
    }
  }
  return true;
}

bool has_header(const HttpHeaders& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (equals_ignore_case(key, name)) return true;
  }
  return false;
}

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

// What the callbacks fill while the exchange runs.
struct Exchange {
  HttpResponse response;
  size_t max_body_bytes = 0;
  bool body_too_large = false;
  // Streaming: the sink for a 2xx body (null for http_request), whether this response
  // streams (decided on its first body byte), and what the sink threw.
  const HttpBodySink* sink = nullptr;
  CURL* handle = nullptr;
  int streaming = -1;  // -1 undecided, 0 collect, 1 stream
  size_t streamed_bytes = 0;
  std::exception_ptr sink_error;
};

size_t write_body(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  size_t bytes = size * count;
  if (exchange->streaming < 0) {
    long status = 0;
    if (exchange->sink != nullptr) curl_easy_getinfo(exchange->handle, CURLINFO_RESPONSE_CODE, &status);
    exchange->streaming = exchange->sink != nullptr && status >= 200 && status < 300 ? 1 : 0;
  }
  size_t so_far = exchange->streaming == 1 ? exchange->streamed_bytes : exchange->response.body.size();
  if (so_far + bytes > exchange->max_body_bytes) {
    exchange->body_too_large = true;
    return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
  }
  if (exchange->streaming == 1) {
    exchange->streamed_bytes += bytes;
    try {
      (*exchange->sink)(std::string_view(data, bytes));
    } catch (...) {
      exchange->sink_error = std::current_exception();
      return 0;
    }
    return bytes;
  }
  exchange->response.body.append(data, bytes);
  return bytes;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

size_t write_header(char* data, size_t size, size_t count, void* user) {
  auto* exchange = static_cast<Exchange*>(user);
  size_t bytes = size * count;
  std::string_view line = trim(std::string_view(data, bytes));
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line (after a 100 Continue or an informational answer): start over.
    exchange->response.headers.clear();
    exchange->response.reason.clear();
    size_t first_space = line.find(' ');
    if (first_space != std::string_view::npos) {
      size_t second_space = line.find(' ', first_space + 1);
      if (second_space != std::string_view::npos)
        exchange->response.reason = std::string(trim(line.substr(second_space + 1)));
    }
    return bytes;
  }
  size_t colon = line.find(':');
  if (colon != std::string_view::npos && colon > 0) {
    exchange->response.headers.emplace_back(std::string(line.substr(0, colon)),
                                            std::string(trim(line.substr(colon + 1))));
  }
  return bytes;
}

// The user information of `url` ("user:pw"), or "" when it has none.
std::string_view userinfo_of(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme_end + 3);
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  size_t at = authority.rfind('@');
  if (at == std::string_view::npos) return {};
  return authority.substr(0, at);
}

// libcurl's message with anything that could carry the URL's user information removed.
std::string clean_curl_message(std::string message, std::string_view url) {
  Redactor redactor;
  redactor.add_secret(userinfo_of(url));
  redactor.add_url(url);
  message = redactor.redact(message);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  return message;
}

[[noreturn]] void throw_transport_error(CURLcode code, const char* error_buffer, const HttpRequest& request,
                                        const std::string& method, const Exchange& exchange) {
  std::string where = method + " " + safe_url(request.url);
  std::string detail =
      clean_curl_message(error_buffer[0] != '\0' ? error_buffer : curl_easy_strerror(code), request.url);
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      throw TimeoutError("Request timed out after " + seconds_text(request.timeout_seconds) + " seconds (" + where +
                         ")");
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
      throw ConnectError("Connection failed: " + detail + " (" + where + ")");
    case CURLE_URL_MALFORMAT:
      throw ValueError("Invalid URL: " + safe_url(request.url));
    case CURLE_UNSUPPORTED_PROTOCOL:
      throw ValueError("Unsupported URL scheme (http and https only): " + safe_url(request.url));
    case CURLE_WRITE_ERROR:
      if (exchange.body_too_large) {
        throw TransportError("Response body larger than " + std::to_string(request.max_response_bytes) + " bytes (" +
                             where + ")");
      }
      [[fallthrough]];
    default:
      throw TransportError("Request failed: " + detail + " (" + where + ")");
  }
}

void check_request(const HttpRequest& request) {
  if (!is_token(request.method)) throw ValueError("Invalid HTTP method: " + std::string(request.method));
  if (request.url.empty()) throw ValueError("Invalid URL: empty");
  for (unsigned char ch : request.url) {
    if (ch <= 0x20 || ch == 0x7F) throw ValueError("Invalid URL: contains white space or control characters");
  }
  for (const auto& [name, value] : request.headers) {
    if (!is_token(name)) throw ValueError("Invalid HTTP header name");
    for (char ch : value) {
      // The value is never echoed: it may be a credential.
      if (ch == '\r' || ch == '\n' || ch == '\0') throw ValueError("Invalid value for HTTP header '" + name + "'");
    }
  }
  if (std::isnan(request.timeout_seconds) || request.timeout_seconds <= 0) {
    throw ValueError("The HTTP time-out must be a positive number of seconds");
  }
}

template <typename T>
void set_option(CURL* handle, CURLoption option, T value) {
  CURLcode code = curl_easy_setopt(handle, option, value);
  if (code != CURLE_OK) throw RuntimeError(std::string("libcurl refused an option: ") + curl_easy_strerror(code));
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (equals_ignore_case(key, name)) return value;
  }
  return std::nullopt;
}

std::string_view status_reason(long status) {
  switch (status) {
    case 100:
      return "Continue";
    case 101:
      return "Switching Protocols";
    case 200:
      return "OK";
    case 201:
      return "Created";
    case 202:
      return "Accepted";
    case 204:
      return "No Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 402:
      return "Payment Required";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 406:
      return "Not Acceptable";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 410:
      return "Gone";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Content Too Large";
    case 415:
      return "Unsupported Media Type";
    case 422:
      return "Unprocessable Content";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

std::string safe_url(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) {
    return std::string(url.substr(0, url.find_first_of("?#")));
  }
  std::string_view scheme = url.substr(0, scheme_end);
  std::string_view rest = url.substr(scheme_end + 3);
  size_t authority_end = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authority_end);
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority = authority.substr(at + 1);
  std::string_view path;
  if (authority_end != std::string_view::npos) {
    std::string_view tail = rest.substr(authority_end);
    path = tail.substr(0, tail.find_first_of("?#"));
  }
  std::string out;
  out.reserve(url.size());
  out.append(scheme).append("://").append(authority).append(path);
  return out;
}

HTTPStatusError::HTTPStatusError(HttpResponse response)
    : Error(std::string(response.status >= 500 ? "Server error" : "Client error") + " '" +
            std::to_string(response.status) + (response.reason.empty() ? "" : " " + response.reason) + "' for url '" +
            response.url + "'"),
      response_(std::move(response)) {}

void raise_for_status(const HttpResponse& response) {
  if (response.status >= 400) throw HTTPStatusError(response);
}

namespace {

// Runs the transfer on a multi handle so that a cancellation can wake it at once.
CURLcode perform(CURL* curl, const CancelSignalPtr& cancel) {
  if (!cancel) return curl_easy_perform(curl);
  throw_if_cancelled(cancel);
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi) throw RuntimeError("libcurl could not create a transfer handle");
  if (curl_multi_add_handle(multi.get(), curl) != CURLM_OK) throw RuntimeError("libcurl refused the transfer");
  struct Detach {
    CURLM* multi;
    CURL* curl;
    ~Detach() { curl_multi_remove_handle(multi, curl); }
  } detach{multi.get(), curl};
  CURLM* raw_multi = multi.get();
  // Declared after `multi`: unsubscribed (and never running) before the handle goes.
  auto subscription = on_cancel(cancel, [raw_multi] { curl_multi_wakeup(raw_multi); });
  int running = 1;
  for (;;) {
    CURLMcode status = curl_multi_perform(raw_multi, &running);
    if (status != CURLM_OK) throw RuntimeError(std::string("libcurl failed: ") + curl_multi_strerror(status));
    if (running == 0) break;
    if (cancel->cancelled()) throw CancelledError();
    status = curl_multi_poll(raw_multi, nullptr, 0, 1000, nullptr);
    if (status != CURLM_OK) throw RuntimeError(std::string("libcurl failed: ") + curl_multi_strerror(status));
    if (cancel->cancelled()) throw CancelledError();
  }
  int left = 0;
  CURLcode result = CURLE_OK;
  while (CURLMsg* message = curl_multi_info_read(raw_multi, &left)) {
    if (message->msg == CURLMSG_DONE) result = message->data.result;
  }
  return result;
}

HttpResponse run_exchange(const HttpRequest& request, const HttpBodySink* sink) {
  check_request(request);
  ensure_curl_initialised();

  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) throw RuntimeError("libcurl could not create a request handle");
  CURL* curl = handle.get();

  std::string method = ascii_upper(request.method);
  Exchange exchange;
  exchange.max_body_bytes = request.max_response_bytes;
  exchange.sink = sink;
  exchange.handle = curl;
  exchange.response.method = method;
  exchange.response.url = safe_url(request.url);
  char error_buffer[CURL_ERROR_SIZE] = {0};

  set_option(curl, CURLOPT_URL, request.url.c_str());
  set_option(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  set_option(curl, CURLOPT_FOLLOWLOCATION, 0L);
  set_option(curl, CURLOPT_NOSIGNAL, 1L);
  set_option(curl, CURLOPT_ERRORBUFFER, error_buffer);
  set_option(curl, CURLOPT_WRITEFUNCTION, &write_body);
  set_option(curl, CURLOPT_WRITEDATA, &exchange);
  set_option(curl, CURLOPT_HEADERFUNCTION, &write_header);
  set_option(curl, CURLOPT_HEADERDATA, &exchange);
  set_option(curl, CURLOPT_ACCEPT_ENCODING, "");  // every encoding libcurl can decode
  set_option(curl, CURLOPT_USERAGENT, "velko");
  set_option(curl, CURLOPT_FORBID_REUSE, 1L);
  set_option(curl, CURLOPT_SSL_VERIFYPEER, request.verify_tls ? 1L : 0L);
  set_option(curl, CURLOPT_SSL_VERIFYHOST, request.verify_tls ? 2L : 0L);

  if (!std::isinf(request.timeout_seconds)) {
    double millis = std::ceil(request.timeout_seconds * 1000.0);
    long limit = millis >= static_cast<double>(std::numeric_limits<long>::max()) ? std::numeric_limits<long>::max()
                                                                                 : static_cast<long>(millis);
    set_option(curl, CURLOPT_TIMEOUT_MS, limit);
    set_option(curl, CURLOPT_CONNECTTIMEOUT_MS, limit);
  }

  bool sends_body = request.body.has_value() || method == "POST";
  if (method == "HEAD") {
    set_option(curl, CURLOPT_NOBODY, 1L);
  } else if (method == "GET" && !request.body) {
    set_option(curl, CURLOPT_HTTPGET, 1L);
  } else {
    set_option(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (sends_body && method != "HEAD") {
    const std::string& body = request.body ? *request.body : std::string();
    set_option(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    set_option(curl, CURLOPT_POSTFIELDS, request.body ? request.body->data() : "");
  }

  std::unique_ptr<curl_slist, SlistDeleter> header_list;
  auto append_header = [&header_list](const std::string& line) {
    curl_slist* extended = curl_slist_append(header_list.get(), line.c_str());
    if (extended == nullptr) throw RuntimeError("libcurl could not build the request headers");
    header_list.release();
    header_list.reset(extended);
  };
  for (const auto& [name, value] : request.headers) {
    // "Name;" is libcurl's way to send a header with an empty value.
    append_header(value.empty() ? name + ";" : name + ": " + value);
  }
  if (!has_header(request.headers, "Expect")) append_header("Expect:");
  if (sends_body && !has_header(request.headers, "Content-Type")) append_header("Content-Type:");
  set_option(curl, CURLOPT_HTTPHEADER, header_list.get());

  CURLcode code = perform(curl, request.cancel);
  if (exchange.sink_error) std::rethrow_exception(exchange.sink_error);
  if (code != CURLE_OK) throw_transport_error(code, error_buffer, request, method, exchange);

  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  exchange.response.status = status;
  if (exchange.response.reason.empty()) exchange.response.reason = std::string(status_reason(status));
  return std::move(exchange.response);
}

}  // namespace

HttpResponse http_request(const HttpRequest& request) { return run_exchange(request, nullptr); }

HttpResponse http_stream(const HttpRequest& request, const HttpBodySink& sink) { return run_exchange(request, &sink); }

bool is_loopback_host(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::string name(host);
  for (char& ch : name) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (name == "localhost" || name == "::1" || name == "0:0:0:0:0:0:0:1") return true;
  // Dotted IPv4 in 127.0.0.0/8: four decimal parts, the first 127.
  int parts = 0;
  size_t pos = 0;
  while (pos <= name.size()) {
    size_t dot = name.find('.', pos);
    std::string_view part =
        std::string_view(name).substr(pos, dot == std::string::npos ? std::string::npos : dot - pos);
    if (part.empty() || part.size() > 3 ||
        !std::all_of(part.begin(), part.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
      return false;
    if (std::stoi(std::string(part)) > 255) return false;
    if (parts == 0 && part != "127") return false;
    ++parts;
    if (dot == std::string::npos) break;
    pos = dot + 1;
  }
  return parts == 4;
}

}  // namespace velko::base
