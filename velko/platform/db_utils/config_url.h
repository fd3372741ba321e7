// The connection URL of a DatabaseConfig (one flat JSON object per warehouse connection).
#pragma once

#include <string>

#include "velko/base/json.h"
#include "velko/platform/db_utils/database_config.h"

namespace velko::platform::db_utils {

// The URL of `config`, built by the builder of its type from the keys that type reads
// (urls.h). Types: SNOWFLAKE, DATABRICKS, POSTGRES, CLICKHOUSE, MOTHERDUCK, BIGQUERY, SQLITE
// (the embedded default: `database` is the file path) and DUCKDB (`database` is a DuckDB
// file or a folder of Parquet, CSV and JSON files). Throws TypeError when `config`
// is not an object ("config must be a mapping"), KeyError naming a missing required key
// (or "type"), ValueError "Unsupported connection type: {type}" for any other type, and
// the file error when a BigQuery key file cannot be read. Values must be text (a port
// may be a number); another kind is a TypeError naming the key. Thread-safe.
std::string build_url_for_config(const DatabaseConfig& config);
// The same for a stored mapping, read with parse_database_config.
std::string build_url_for_config(const Json& config);

}  // namespace velko::platform::db_utils
