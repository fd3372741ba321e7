// Google service-account keys: the OAuth 2.0 access token of a key, obtained with a JWT
// signed RS256 by the key's private_key (OpenSSL) and exchanged at the key's token_uri.
//
//   ServiceAccountKey key = parse_service_account_key(json_text);
//   std::string token = AccessTokens::shared().token(key, scope, 30.0);
//
// Error texts never hold the private key, the signed assertion or the access token.
// Thread-safe.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace velko::platform::sql_remote {

struct ServiceAccountKey {
  std::string client_email;
  std::string private_key;  // PEM
  std::string private_key_id;
  std::string token_uri;
  std::string project_id;  // may be empty
};

// The key from its JSON text. Throws DatabaseError when it is not a service-account key
// (naming the missing field), or when token_uri is not https (plain http only for a
// loopback address).
ServiceAccountKey parse_service_account_key(std::string_view json_text);

// The JWT assertion for `key` and `scope`, issued at `now` (seconds since the epoch) and
// valid for an hour. Throws DatabaseError when the private key cannot be read or used.
std::string signed_assertion(const ServiceAccountKey& key, std::string_view scope, long long now);

// Standard base64 (RFC 4648) decoding; white space ignored, a space taken for "+" (a "+"
// that a form decoder turned into a space). Throws DatabaseError for anything else.
std::string base64_decode(std::string_view text);
// base64url without padding (the JWT form).
std::string base64url_encode(std::string_view data);

// Access tokens by key and scope, kept until a minute before they expire.
class AccessTokens {
 public:
  static AccessTokens& shared();

  // A valid token: the kept one, or a new one from the key's token_uri (the exchange
  // limited to `timeout_seconds`). Throws DatabaseError with the token endpoint's
  // error ("invalid_grant: Invalid JWT Signature.") or a transport failure.
  std::string token(const ServiceAccountKey& key, const std::string& scope, double timeout_seconds);

  // Forgets every kept token (tests).
  void clear();

 private:
  struct Kept {
    std::string token;
    std::chrono::steady_clock::time_point renew_at;
  };
  std::mutex mu_;
  std::map<std::string, Kept> kept_;  // guarded by mu_
};

}  // namespace velko::platform::sql_remote
