// A client of OpenAI's embeddings endpoint, standing in for langchain_openai's
// OpenAIEmbeddings:
//
//   POST {base}/embeddings   Authorization: Bearer <api key>, Content-Type: application/json
//        {"input": "<text>", "model": "<model>", "encoding_format": "float"}
//        -> {"object": "list", "data": [{"object": "embedding", "index": 0, "embedding": [...]}], ...}
//
// The base URL is https://api.openai.com/v1 unless given, or set in $OPENAI_BASE_URL (the
// variable OpenAI's own client libraries read; a compatible server or a test server).
//
// Creating the object makes no request. embed_query opens its own connection with the
// object's time-out. Failures: transport and time-out errors of base::http_request; a status
// of 400 or more is a RemoteServiceError whose text is "OpenAI embeddings request failed
// (<status>): <the service's message>"; a body that is not JSON is a ValueError; an answer
// without a list of numbers under data[0].embedding is a ValueError. The API key never
// appears in an error text.
//
// Thread-safe: immutable after construction.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velko::clients::chromadb {

inline constexpr const char* DEFAULT_OPENAI_BASE_URL = "https://api.openai.com/v1";
inline constexpr const char* OPENAI_BASE_URL_ENV = "OPENAI_BASE_URL";

class OpenAIEmbeddings {
 public:
  // `base_url`: given, else $OPENAI_BASE_URL when non-empty, else DEFAULT_OPENAI_BASE_URL.
  OpenAIEmbeddings(std::string model, std::string api_key, std::optional<std::string> base_url = std::nullopt,
                   double timeout_seconds = 30.0);

  const std::string& model() const { return model_; }
  const std::string& base_url() const { return base_url_; }

  // The embedding vector of `text`.
  std::vector<double> embed_query(std::string_view text) const;

 private:
  std::string model_;
  std::string api_key_;
  std::string base_url_;
  double timeout_seconds_;
};

}  // namespace velko::clients::chromadb
