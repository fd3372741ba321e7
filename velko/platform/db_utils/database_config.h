// DatabaseConfig: one warehouse connection, read once from the flat mapping the
// configuration stores keep ({"type": "POSTGRES", "host": ..., "password": ...}).
//
// The key rules, all here:
//   type       required; one of SNOWFLAKE, DATABRICKS, POSTGRES, CLICKHOUSE, MOTHERDUCK,
//              BIGQUERY, SQLITE, DUCKDB, compared case-sensitively. Any other value is
//              kept as it was stored (shown to the model, refused by the URL builder).
//   generic    username, password, host, port, database, warehouse, role, keyfile: text;
//              an integer counts as its digits (a port stored as 5432). A value of any
//              other kind is kept, and refused only by a reader that needs the key, so a
//              key a type does not read never makes its record unusable. A null keyfile
//              means no key file.
//   query_timeout  kept as stored (a number or its text); the warehouse reads it.
//   anything else  ignored.
// What each type reads, and what it requires, is the URL builder's (config_url.h).
//
// Values are plain data: copyable, thread-compatible. The record holds secrets (the
// password or token); never log or show it whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "velko/base/json.h"

namespace velko::platform::db_utils {

enum class DatabaseType : std::uint8_t {
  kSnowflake,
  kDatabricks,
  kPostgres,
  kClickhouse,
  kMotherduck,
  kBigquery,
  kSqlite,
  kDuckdb,
};

// The type a stored name stands for ("POSTGRES" -> kPostgres), exactly as written (no
// letter-case folding); nullopt for any other name.
std::optional<DatabaseType> parse_database_type(std::string_view name);
// The stored name of `type` ("POSTGRES").
std::string_view database_type_name(DatabaseType type);

// One key of the record as it was stored: absent, text (integers as their digits), or a
// value of another kind.
class ConfigField {
 public:
  ConfigField() = default;
  // The field `key` from the stored value (nullptr: absent).
  ConfigField(std::string key, const Json* value);

  bool present() const { return state_ != State::kAbsent; }
  // True when present as text or an integer.
  bool is_text() const { return state_ == State::kText; }

  // The text. Throws KeyError(key) when absent, TypeError "DatabaseConfig key '{key}'
  // must be text" when the stored value is of another kind.
  const std::string& required() const;
  // The text, or `fallback` when absent; the same TypeError as above for another kind.
  std::string optional(std::string_view fallback = "") const;
  // The value as the model is shown it, whatever its kind: text as stored, null "None",
  // booleans "True"/"False", anything else its JSON text. Empty when absent.
  const std::string& shown() const { return shown_; }

 private:
  enum class State : std::uint8_t { kAbsent, kText, kOther };
  std::string key_;
  std::string text_;   // kText only
  std::string shown_;  // any present value
  State state_ = State::kAbsent;
};

struct DatabaseConfig {
  ConfigField type;
  // The type when `type` names one this system knows; nullopt otherwise.
  std::optional<DatabaseType> known_type;
  ConfigField username, password, host, port, database, warehouse, role, keyfile;
  // "query_timeout" as stored; null when absent or null.
  Json query_timeout;
};

// Reads a stored mapping under the rules above. Throws TypeError "config must be a
// mapping" when `config` is not an object, nothing else: a missing type or a key of the
// wrong kind is refused by the reader that needs it.
DatabaseConfig parse_database_config(const Json& config);

}  // namespace velko::platform::db_utils
