// The Databricks driver: the engine layer's "databricks" URLs over the SQL Statement
// Execution API 2.0 (libcurl, through base::http_request).
//
//   databricks://token:{token}@{host}?http_path=/sql/1.0/warehouses/{id}&catalog=..&schema=..
//
// A statement is one POST to https://{host}/api/2.0/sql/statements/ with the statement
// text, the SQL warehouse id (the last segment of http_path), the URL's catalog and
// schema, wait_timeout, on_wait_timeout=CONTINUE, disposition INLINE, format JSON_ARRAY
// and, with a row cap, row_limit; the token travels as "Authorization: Bearer". While
// the statement is PENDING or RUNNING the driver polls GET /api/2.0/sql/statements/{id}
// (every 50 ms at first, backing off to 1 s) until it reaches SUCCEEDED, FAILED, CANCELED
// or CLOSED, or until the statement's time limit (ExecuteOptions::timeout, else the
// driver's) passes or the caller cancels: then it cancels the statement
// (POST .../{id}/cancel) and throws TimeoutError ("timed out after N seconds") or
// CancelledError. With a cancel signal, or a limit shorter than wait_timeout, the POST
// does not wait (wait_timeout=0s), so the statement is only ever waited for in polls. A SUCCEEDED result brings the
// manifest (column names and type names) and the first chunk of rows; later chunks are
// fetched through next_chunk_internal_link (or GET .../result/chunks/{n}) only while the
// row cap is not reached.
//
// Databricks has no read-only transaction, so the driver sends only statements that
// read (see statement_text.h: SELECT, WITH, VALUES, TABLE, FROM, SHOW, DESCRIBE,
// EXPLAIN, LIST) and refuses the rest before anything is sent; one statement per call.
//
// Values (JSON_ARRAY sends every value as text or null), by type_name: BYTE, SHORT, INT,
// LONG integers; FLOAT, DOUBLE floats (NaN and Infinity included); BOOLEAN booleans;
// TIMESTAMP and TIMESTAMP_NTZ text as the agent runtime's datetime prints it; ARRAY, MAP
// and STRUCT parsed JSON; DECIMAL, DATE, STRING, CHAR, BINARY, INTERVAL and anything
// else text.
//
// Inspection: SHOW SCHEMAS; SHOW TABLES IN `schema`; the columns from
// information_schema.columns (names passed as named parameters), or from DESCRIBE TABLE
// where the catalog has no information schema (nullability unknown there: reported
// nullable).
//
// connect() checks the address, the token and the warehouse with GET
// /api/2.0/sql/warehouses/{id} (it does not start a stopped warehouse). Connections are
// stateless: ping() returns true, reset() does nothing. Error texts are the service's
// message ("[TABLE_OR_VIEW_NOT_FOUND] ..."), never the token or the URL's query.
//
// Not covered: EXTERNAL_LINKS disposition (results over 25 MiB inline), ARROW_STREAM and
// CSV formats, parameters for execute(), all-purpose clusters (the API serves SQL
// warehouses only), OAuth machine-to-machine tokens (a personal access token or any
// bearer token in the URL works), session settings such as TIME ZONE.
#pragma once

#include <chrono>
#include <memory>
#include <string_view>

#include "velko/base/json.h"
#include "velko/platform/sql/driver.h"

namespace velko::platform::sql_remote {

struct DatabricksDriverOptions {
  // false speaks plain HTTP (a local test server); Databricks itself needs HTTPS.
  bool use_https = true;
  // How long the POST itself waits for the statement (the API allows 0 or 5 to 50 s).
  int wait_timeout_seconds = 10;
  // First and longest pause between polls of a running statement.
  std::chrono::milliseconds first_poll{50};
  std::chrono::milliseconds longest_poll{1000};
  // The limit of one statement, waiting and polling included; then it is cancelled.
  double timeout_seconds = 300;
  // The limit of each HTTP exchange.
  double request_timeout_seconds = 60;
};

std::shared_ptr<sql::Driver> make_databricks_driver(DatabricksDriverOptions options = {});

// One JSON_ARRAY value (text or null) converted by its Databricks type_name.
Json databricks_value(std::string_view type_name, const Json& raw);

}  // namespace velko::platform::sql_remote
