#include "velko/platform/db_utils/database_config.h"

#include <array>
#include <utility>

#include "velko/base/errors.h"
#include "velko/base/json_args.h"

namespace velko::platform::db_utils {
namespace {

constexpr std::array<std::pair<DatabaseType, std::string_view>, 8> TYPE_NAMES = {{
    {DatabaseType::kSnowflake, "SNOWFLAKE"},
    {DatabaseType::kDatabricks, "DATABRICKS"},
    {DatabaseType::kPostgres, "POSTGRES"},
    {DatabaseType::kClickhouse, "CLICKHOUSE"},
    {DatabaseType::kMotherduck, "MOTHERDUCK"},
    {DatabaseType::kBigquery, "BIGQUERY"},
    {DatabaseType::kSqlite, "SQLITE"},
    {DatabaseType::kDuckdb, "DUCKDB"},
}};

std::string shown_form(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "None";
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  return base::dumps(value);
}

ConfigField field_of(const Json& config, const char* key) {
  auto found = config.find(key);
  return ConfigField(key, found == config.end() ? nullptr : &*found);
}

}  // namespace

std::optional<DatabaseType> parse_database_type(std::string_view name) {
  for (const auto& [type, type_name] : TYPE_NAMES) {
    if (type_name == name) return type;
  }
  return std::nullopt;
}

std::string_view database_type_name(DatabaseType type) {
  for (const auto& [known, name] : TYPE_NAMES) {
    if (known == type) return name;
  }
  return "";
}

ConfigField::ConfigField(std::string key, const Json* value) : key_(std::move(key)) {
  if (value == nullptr) return;
  shown_ = shown_form(*value);
  std::optional<std::string> text = base::text_or_integer_value(*value);
  state_ = text ? State::kText : State::kOther;
  if (text) text_ = std::move(*text);
}

const std::string& ConfigField::required() const {
  if (state_ == State::kAbsent) throw base::KeyError(key_);
  if (state_ == State::kOther) throw base::TypeError("DatabaseConfig key '" + key_ + "' must be text");
  return text_;
}

std::string ConfigField::optional(std::string_view fallback) const {
  if (state_ == State::kAbsent) return std::string(fallback);
  return required();
}

DatabaseConfig parse_database_config(const Json& config) {
  if (!config.is_object()) throw base::TypeError("config must be a mapping");
  DatabaseConfig parsed;
  parsed.type = field_of(config, "type");
  if (auto type = config.find("type"); type != config.end() && type->is_string()) {
    parsed.known_type = parse_database_type(type->get_ref<const std::string&>());
  }
  parsed.username = field_of(config, "username");
  parsed.password = field_of(config, "password");
  parsed.host = field_of(config, "host");
  parsed.port = field_of(config, "port");
  parsed.database = field_of(config, "database");
  parsed.warehouse = field_of(config, "warehouse");
  parsed.role = field_of(config, "role");
  // A null key file is no key file.
  if (auto keyfile = config.find("keyfile"); keyfile != config.end() && !keyfile->is_null()) {
    parsed.keyfile = ConfigField("keyfile", &*keyfile);
  } else {
    parsed.keyfile = ConfigField("keyfile", nullptr);
  }
  if (auto timeout = config.find("query_timeout"); timeout != config.end()) parsed.query_timeout = *timeout;
  return parsed;
}

}  // namespace velko::platform::db_utils
