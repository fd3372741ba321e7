#include "velko/clients/chromadb/remote_error.h"

#include "velko/base/utf8.h"

namespace velko::clients::chromadb {

std::string _scrub(std::string text, std::string_view secret) {
  if (secret.empty()) return text;
  for (size_t pos = text.find(secret); pos != std::string::npos; pos = text.find(secret, pos + 3)) {
    text.replace(pos, secret.size(), "***");
  }
  return text;
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
