#include "velko/clients/chromadb/openai_embeddings.h"

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/json.h"
#include "velko/clients/chromadb/remote_error.h"

namespace velko::clients::chromadb {
namespace {

// OpenAI reports failures as {"error": {"message": "...", "type": "...", "code": ...}}.
[[noreturn]] void throw_openai_error(const base::HttpResponse& response, std::string_view api_key) {
  std::string message;
  std::string error_type;
  try {
    Json body = base::loads(response.body);
    if (body.is_object() && body.contains("error") && body["error"].is_object()) {
      const Json& error = body["error"];
      if (error.contains("message") && error["message"].is_string()) message = error["message"].get<std::string>();
      if (error.contains("type") && error["type"].is_string()) error_type = error["type"].get<std::string>();
    }
  } catch (const std::exception&) {  // not JSON, or numbers out of range
    message.clear();                 // not JSON: the start of the body says what happened
  }
  if (message.empty()) {
    message = response.body.empty() ? (response.reason.empty() ? "no details" : response.reason)
                                    : _shorten(response.body, MAX_ERROR_BODY_BYTES);
  }
  throw RemoteServiceError(
      _scrub("OpenAI embeddings request failed (" + std::to_string(response.status) + "): " + message, api_key),
      error_type, response.status);
}

}  // namespace

OpenAIEmbeddings::OpenAIEmbeddings(std::string model, std::string api_key, std::optional<std::string> base_url,
                                   double timeout_seconds)
    : model_(std::move(model)),
      api_key_(std::move(api_key)),
      base_url_(_service_base_url(base_url, OPENAI_BASE_URL_ENV, DEFAULT_OPENAI_BASE_URL)),
      timeout_seconds_(timeout_seconds) {}

std::vector<double> OpenAIEmbeddings::embed_query(std::string_view text) const {
  Json body = Json::object();
  body["input"] = std::string(text);
  body["model"] = model_;
  body["encoding_format"] = "float";

  base::HttpRequest request;
  request.method = "POST";
  request.url = base_url_ + "/embeddings";
  request.headers = {{"Authorization", "Bearer " + api_key_}, {"Content-Type", "application/json"}};
  request.body = base::dumps(body);
  request.timeout_seconds = timeout_seconds_;
  base::HttpResponse response = base::http_request(request);
  if (response.status >= 400) throw_openai_error(response, api_key_);

  Json answer = _decode_json(response, "OpenAI");
  const Json* embedding = nullptr;
  if (answer.is_object() && answer.contains("data") && answer["data"].is_array() && !answer["data"].empty()) {
    const Json& first = answer["data"][0];
    if (first.is_object() && first.contains("embedding") && first["embedding"].is_array()) {
      embedding = &first["embedding"];
    }
  }
  if (embedding == nullptr || embedding->empty()) throw base::ValueError("OpenAI returned no embedding");
  std::vector<double> vector;
  vector.reserve(embedding->size());
  for (const Json& value : *embedding) {
    if (!value.is_number()) throw base::ValueError("OpenAI returned an embedding that is not a list of numbers");
    vector.push_back(value.get<double>());
  }
  return vector;
}

}  // namespace velko::clients::chromadb
