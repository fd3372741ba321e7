#include "velko/clients/chromadb/remote_error.h"

#include "velko/base/env.h"
#include "velko/base/redact.h"
#include "velko/base/utf8.h"

namespace velko::clients::chromadb {

std::string _service_base_url(const std::optional<std::string>& given, const char* env_name,
                              std::string_view fallback) {
  std::string url;
  if (given && !given->empty()) {
    url = *given;
  } else if (auto env = base::getenv_opt(env_name); env && !env->empty()) {
    url = *env;
  } else {
    url = std::string(fallback);
  }
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

std::string _scrub(std::string text, std::string_view secret) {
  base::Redactor redactor;
  redactor.add_secret(secret);
  return redactor.redact(text);
}

std::string _shorten(std::string_view text, size_t max_bytes) {
  if (text.size() <= max_bytes) return std::string(text);
  size_t end = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    base::decode_utf8(text, next);
    if (next > max_bytes) break;
    end = pos = next;
  }
  return std::string(text.substr(0, end)) + "...";
}

Json _decode_json(const base::HttpResponse& response, std::string_view service) {
  try {
    return base::loads(response.body);
  } catch (const std::exception&) {
    // base::ValueError for malformed text; nlohmann's out_of_range for numbers beyond double.
    throw base::ValueError(std::string(service) + " returned a response that is not JSON (status " +
                           std::to_string(response.status) + ")");
  }
}

}  // namespace velko::clients::chromadb
