#include "velko/clients/chromadb/cloud_client.h"

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/clients/chromadb/remote_error.h"

namespace velko::clients::chromadb {
namespace {

// The error a Chroma server reports: {"error": "NotFoundError", "message": "..."}.
[[noreturn]] void throw_chroma_error(const base::HttpResponse& response, std::string_view api_key) {
  std::string error_type;
  std::string message;
  try {
    Json body = base::loads(response.body);
    if (body.is_object() && body.contains("message") && body["message"].is_string()) {
      message = body["message"].get<std::string>();
      if (body.contains("error") && body["error"].is_string()) error_type = body["error"].get<std::string>();
    }
  } catch (const std::exception&) {  // not JSON, or numbers out of range
    message.clear();                 // not JSON: described by status and body below
  }
  if (message.empty()) {
    message =
        "Chroma answered " + std::to_string(response.status) + (response.reason.empty() ? "" : " " + response.reason);
    if (!response.body.empty()) message += ": " + _shorten(response.body, MAX_ERROR_BODY_BYTES);
  }
  throw RemoteServiceError(_scrub(message, api_key), error_type, response.status);
}

}  // namespace

std::string _encode_path_segment(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char ch : text) {
    bool unreserved = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' ||
                      ch == '.' || ch == '_' || ch == '~';
    if (unreserved) {
      out += static_cast<char>(ch);
    } else {
      out += '%';
      out += kHex[ch >> 4];
      out += kHex[ch & 0xF];
    }
  }
  return out;
}

namespace detail {

Json ChromaConnection::request(const char* method, const std::string& path, const std::optional<Json>& body) const {
  base::HttpRequest request;
  request.method = method;
  request.url = base_url + path;
  request.headers = {{CHROMA_TOKEN_HEADER, api_key}, {"Content-Type", "application/json"}};
  request.timeout_seconds = timeout_seconds;
  if (body) request.body = base::dumps(*body);
  base::HttpResponse response = base::http_request(request);
  if (response.status >= 400) throw_chroma_error(response, api_key);
  return _decode_json(response, "Chroma");
}

std::string ChromaConnection::database_path() const {
  return "/api/v2/tenants/" + _encode_path_segment(tenant) + "/databases/" + _encode_path_segment(database);
}

}  // namespace detail

Json Collection::query(const std::vector<std::vector<double>>& query_embeddings, long long n_results,
                       const std::vector<std::string>& include) const {
  Json body = Json::object();
  body["ids"] = nullptr;
  body["query_embeddings"] = query_embeddings;
  body["n_results"] = n_results;
  body["where"] = nullptr;
  body["where_document"] = nullptr;
  body["include"] = include;
  Json result = connection_->request(
      "POST", connection_->database_path() + "/collections/" + _encode_path_segment(id_) + "/query", body);
  if (!result.is_object()) {
    throw base::ValueError(std::string("Chroma returned a query result that is a JSON ") + result.type_name() +
                           ", not an object");
  }
  return result;
}

CloudClient::CloudClient(std::string tenant, std::string database, std::string api_key,
                         std::optional<std::string> base_url, double timeout_seconds)
    : connection_(std::make_shared<const detail::ChromaConnection>(
          detail::ChromaConnection{_service_base_url(base_url, CHROMA_URL_ENV, DEFAULT_CHROMA_URL), std::move(tenant),
                                   std::move(database), std::move(api_key), timeout_seconds})) {}

Collection CloudClient::get_collection(std::string_view name) const {
  Json model = connection_->request("GET", connection_->database_path() + "/collections/" + _encode_path_segment(name),
                                    std::nullopt);
  if (!model.is_object() || !model.contains("id") || !model["id"].is_string()) {
    throw base::ValueError("Chroma returned no id for collection '" + std::string(name) + "'");
  }
  std::string returned_name =
      model.contains("name") && model["name"].is_string() ? model["name"].get<std::string>() : std::string(name);
  return Collection(connection_, model["id"].get<std::string>(), returned_name);
}

}  // namespace velko::clients::chromadb
