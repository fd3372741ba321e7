#include "velko/platform/sql_remote/service_account.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <ctime>
#include <memory>
#include <optional>

#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/json.h"
#include "velko/base/strings.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql_remote/remote_common.h"
#include "velko/platform/sql_remote/statement_control.h"

namespace velko::platform::sql_remote {
namespace {

constexpr std::chrono::seconds kRenewBeforeExpiry{60};

struct KeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string sign_rs256(const std::string& pem, std::string_view data) {
  std::unique_ptr<BIO, BioDeleter> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) throw base::DatabaseError("Could not read the service-account key's private_key");
  std::unique_ptr<EVP_PKEY, KeyDeleter> key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) throw base::DatabaseError("The service-account key's private_key is not a PEM private key");
  if (EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
    throw base::DatabaseError("The service-account key's private_key is not an RSA key");
  }
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
  size_t length = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1) {
    throw base::DatabaseError("Could not sign the token request with the service-account key");
  }
  std::string signature(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
    throw base::DatabaseError("Could not sign the token request with the service-account key");
  }
  signature.resize(length);
  return signature;
}

}  // namespace

std::string base64url_encode(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  out.resize(static_cast<size_t>(written));
  while (out.ends_with('=')) out.pop_back();
  for (char& ch : out) {
    if (ch == '+') ch = '-';
    if (ch == '/') ch = '_';
  }
  return out;
}

std::string base64_decode(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (char ch : text) {
    if (ch == ' ') {
      clean += '+';
    } else if (ch != '\n' && ch != '\r' && ch != '\t') {
      clean += ch;
    }
  }
  if (clean.size() % 4 != 0) throw base::DatabaseError("The credentials are not valid base64");
  std::string out(clean.size() / 4 * 3, '\0');
  int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(clean.data()), static_cast<int>(clean.size()));
  if (written < 0) throw base::DatabaseError("The credentials are not valid base64");
  size_t padding = 0;
  if (clean.ends_with("==")) {
    padding = 2;
  } else if (clean.ends_with("=")) {
    padding = 1;
  }
  out.resize(static_cast<size_t>(written) - padding);
  return out;
}

ServiceAccountKey parse_service_account_key(std::string_view json_text) {
  std::optional<Json> parsed = parse_service_json(json_text);
  if (!parsed || !parsed->is_object()) {
    throw base::DatabaseError("The BigQuery credentials are not a service-account key (JSON)");
  }
  const Json& json = *parsed;
  std::string type = base::text_member(json, "type");
  if (!type.empty() && type != "service_account") {
    throw base::DatabaseError("The BigQuery credentials are of type '" + message_text(type, 40) +
                              "'; this driver takes a service-account key");
  }
  ServiceAccountKey key;
  key.client_email = base::text_member(json, "client_email");
  key.private_key = base::text_member(json, "private_key");
  key.private_key_id = base::text_member(json, "private_key_id");
  key.token_uri = base::text_member(json, "token_uri");
  key.project_id = base::text_member(json, "project_id");
  if (key.token_uri.empty()) key.token_uri = "https://oauth2.googleapis.com/token";
  for (const auto& [name, value] : {std::pair<const char*, const std::string*>{"client_email", &key.client_email},
                                    {"private_key", &key.private_key}}) {
    if (value->empty()) throw base::DatabaseError(std::string("The service-account key has no ") + name);
  }
  require_secure_url(key.token_uri, "The service-account key's token_uri");
  return key;
}

std::string signed_assertion(const ServiceAccountKey& key, std::string_view scope, long long now) {
  Json header = {{"alg", "RS256"}, {"typ", "JWT"}};
  if (!key.private_key_id.empty()) header["kid"] = key.private_key_id;
  Json claims = {
      {"iss", key.client_email}, {"scope", scope}, {"aud", key.token_uri}, {"iat", now}, {"exp", now + 3600}};
  std::string signing_input = base64url_encode(header.dump()) + "." + base64url_encode(claims.dump());
  return signing_input + "." + base64url_encode(sign_rs256(key.private_key, signing_input));
}

// Process-wide: made on first use, never destroyed; tokens are kept until shortly before
// they expire. Thread-safe through the object's own lock.
AccessTokens& AccessTokens::shared() {
  static auto* tokens = new AccessTokens();
  return *tokens;
}

void AccessTokens::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  kept_.clear();
}

std::string AccessTokens::token(const ServiceAccountKey& key, const std::string& scope, double timeout_seconds) {
  const std::string cache_key =
      Json::array({key.token_uri, key.client_email, key.private_key_id, key.private_key, scope}).dump();
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto found = kept_.find(cache_key);
    if (found != kept_.end() && std::chrono::steady_clock::now() < found->second.renew_at) {
      return found->second.token;
    }
  }
  std::string assertion = signed_assertion(key, scope, static_cast<long long>(std::time(nullptr)));
  base::HttpRequest request;
  request.method = "POST";
  request.url = key.token_uri;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}, {"Accept", "application/json"}};
  request.body = "grant_type=" + db_utils::percent_encode("urn:ietf:params:oauth:grant-type:jwt-bearer") +
                 "&assertion=" + db_utils::percent_encode(assertion);
  request.timeout_seconds = timeout_seconds;
  base::HttpResponse response;
  try {
    response = base::http_request(request);
  } catch (const base::TimeoutError&) {
    throw base::DatabaseError("The token endpoint did not answer in time (" + base::safe_url(key.token_uri) + ")");
  } catch (const base::Error& error) {
    throw base::DatabaseError("Could not reach the token endpoint: " + message_text(error.what()));
  }
  Json body = parse_service_json(response.body).value_or(Json());
  if (response.status != 200) {
    std::string text = "The token endpoint refused the service-account key (HTTP " + std::to_string(response.status);
    if (body.is_object() && !base::text_member(body, "error").empty()) {
      text += "): " + base::text_member(body, "error");
      if (std::string description = base::text_member(body, "error_description"); !description.empty()) {
        text += ": " + description;
      }
    } else {
      text += ")";
    }
    throw base::DatabaseError(base::replace_all(message_text(text), assertion, "***"));
  }
  std::string token = body.is_object() ? base::text_member(body, "access_token") : std::string();
  if (token.empty()) throw base::DatabaseError("The token endpoint sent no access_token");
  long long expires_in = 3600;
  if (body.contains("expires_in") && body["expires_in"].is_number_integer()) {
    expires_in = body["expires_in"].get<long long>();
  }
  auto renew_at = std::chrono::steady_clock::now() + std::chrono::seconds(expires_in) - kRenewBeforeExpiry;
  std::lock_guard<std::mutex> lock(mu_);
  kept_[cache_key] = Kept{token, renew_at};
  return token;
}

}  // namespace velko::platform::sql_remote
