#include "velko/clients/chromadb/remote_error.h"

#include "velko/base/env.h"
#include "velko/base/redact.h"
#include "velko/base/strings.h"

namespace velko::clients::chromadb {

std::string _service_base_url(const std::optional<std::string>& given, const char* env_name,
                              std::string_view fallback) {
  return base::service_base_url(given, env_name, fallback);
}

std::string _scrub(std::string text, std::string_view secret) {
  base::Redactor redactor;
  redactor.add_secret(secret);
  return redactor.redact(text);
}

std::string _shorten(std::string_view text, size_t max_bytes) { return base::shorten(text, max_bytes); }

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
