// Connection URLs in the engine layer's syntax:
//
//   dialect[+driver]://[username[:password]@][host][:port][/database][?key=value&...]
//
// The user name, password, host and database are percent-decoded; query values are decoded
// as form values ("+" is a space). An IPv6 host is written in brackets. SQLite's forms:
// "sqlite://" and "sqlite:///:memory:" (in memory), "sqlite:///relative/path",
// "sqlite:////absolute/path".
//
// Pure functions and plain values; thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velko::platform::sql {

struct Url {
  std::string drivername;  // "postgresql+psycopg", "sqlite"
  std::optional<std::string> username;
  std::optional<std::string> password;
  std::optional<std::string> host;
  std::optional<int> port;
  std::optional<std::string> database;
  std::vector<std::pair<std::string, std::string>> query;  // in URL order

  // "postgresql" for "postgresql+psycopg".
  std::string backend_name() const;
  // "psycopg" for "postgresql+psycopg"; empty when the URL names no driver.
  std::string driver_name() const;
  // The last value of query key `key`, or nullopt.
  std::optional<std::string> query_value(std::string_view key) const;

  // The URL text with the password written as "***": safe for messages and logs.
  std::string render_redacted() const;
};

// Parses `text`. Throws ValueError when it is not a URL of the form above; the message
// never contains the text itself (it may hold a password): "Could not parse the
// connection URL" with the reason, such as "invalid port".
Url make_url(std::string_view text);

}  // namespace velko::platform::sql
