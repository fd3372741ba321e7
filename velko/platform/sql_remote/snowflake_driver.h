// The Snowflake driver: the engine layer's "snowflake" URLs over Snowflake's SQL API v2
// (libcurl, through base::http_request).
//
//   snowflake://{user}:{programmatic access token}@{account}[/{database}[/{schema}]]?warehouse=..&role=..
//
// The password must be a programmatic access token: the SQL API takes it as
// "Authorization: Bearer {token}" with "X-Snowflake-Authorization-Token-Type:
// PROGRAMMATIC_ACCESS_TOKEN" (an ordinary password answers 401, and the error says that
// a token is needed). The service is https://{account}.snowflakecomputing.com (an
// account given as a full "....snowflakecomputing.com" host is used as it is); the
// environment variable VELKO_SNOWFLAKE_URL replaces it (plain http only for loopback).
//
// A statement is one POST /api/v2/statements?async=true with the statement, the URL's
// warehouse, role, database and schema, the statement's time limit as `timeout`, and
// MULTI_STATEMENT_COUNT 1. Its 202 answers are polled at GET /api/v2/statements/{handle}
// (every 50 ms at first, backing off to 1 s) until 200 (the result), 422 (the statement
// failed: Snowflake's message and SQL state) or 408 (Snowflake's own time limit). At
// the caller's time limit or cancellation the driver sends POST
// /api/v2/statements/{handle}/cancel and throws base::TimeoutError ("timed out after N
// seconds") or base::CancelledError. Further partitions (GET ...?partition=N) are
// fetched only while fewer rows than the cap are in hand.
//
// Snowflake has no read-only transaction and DDL commits by itself, so only statements
// that read (statement_text.h: SELECT, WITH, VALUES, SHOW, DESCRIBE, EXPLAIN, ...) are
// sent; everything else is refused before anything is sent. A read-only role is the
// real guarantee.
//
// Values, by resultSetMetaData.rowType type: fixed with scale 0 integers (else the
// decimal text); real floats; boolean booleans; text text; date "YYYY-MM-DD"; time
// "HH:MM:SS[.ffffff]"; timestamp_ntz and timestamp_ltz "YYYY-MM-DD HH:MM:SS[.ffffff]"
// (ltz in UTC, with "+00:00"); timestamp_tz with its offset; variant, object and array
// parsed JSON; binary its hex text; anything else text.
//
// Inspection reads information_schema (the URL's database, or the session's), names
// passed as bindings and compared without regard to case.
//
// Not covered: key-pair (JWT) and OAuth authentication, result formats other than
// jsonv2, statement parameters of execute(), Snowflake's multi-statement requests.
#pragma once

#include <chrono>
#include <memory>
#include <string_view>

#include "velko/base/json.h"
#include "velko/platform/sql/driver.h"

namespace velko::platform::sql_remote {

inline constexpr const char* SNOWFLAKE_URL_ENV = "VELKO_SNOWFLAKE_URL";

struct SnowflakeDriverOptions {
  // First and longest pause between polls of a running statement.
  std::chrono::milliseconds first_poll{50};
  std::chrono::milliseconds longest_poll{1000};
  // The limit of each HTTP exchange.
  double request_timeout_seconds = 60;
};

std::shared_ptr<sql::Driver> make_snowflake_driver(SnowflakeDriverOptions options = {});

// One jsonv2 value (text or null) converted by its rowType entry ({"type", "scale", ...}).
Json snowflake_value(const Json& row_type, const Json& raw);

}  // namespace velko::platform::sql_remote
