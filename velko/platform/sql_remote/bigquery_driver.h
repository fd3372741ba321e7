// The BigQuery driver: the engine layer's "bigquery" URLs over the BigQuery REST API v2
// (libcurl, through base::http_request; OpenSSL signs the service account's token
// request).
//
//   bigquery://{project}[/{dataset}]?location=..&credentials_base64={base64 of the key JSON}
//
// Authentication: the service-account key's private_key signs a JWT (RS256) for the
// scope https://www.googleapis.com/auth/bigquery, exchanged at the key's own token_uri
// (grant_type urn:ietf:params:oauth:grant-type:jwt-bearer; plain http only for a
// loopback address) for an access token, which the driver keeps until a minute before
// it expires and shares between the connections of one key.
//
// The API root is https://bigquery.googleapis.com; the environment variable
// VELKO_BIGQUERY_URL replaces it (plain http only for loopback).
//
// A statement: first a dry run (POST /bigquery/v2/projects/{project}/jobs with
// configuration.dryRun), whose statistics.query.statementType must be SELECT; anything
// else is refused without running (and text that is not one reading statement is
// refused before anything is sent). Then POST /bigquery/v2/projects/{project}/queries
// (useLegacySql false, maxResults the row cap, timeoutMs, jobTimeoutMs the time limit,
// location, defaultDataset from the URL), GET .../queries/{jobId} while jobComplete is
// false, further pages (pageToken) only while fewer rows than the cap are in hand. At
// the caller's time limit or cancellation the driver sends POST
// .../jobs/{jobId}/cancel and throws base::TimeoutError ("timed out after N seconds")
// or base::CancelledError.
//
// Values, by schema.fields: INT64 integers, FLOAT64 floats, BOOL booleans, STRING text,
// NUMERIC and BIGNUMERIC text, BYTES base64 text, DATE, TIME and DATETIME text
// (DATETIME "YYYY-MM-DD HH:MM:SS[.ffffff]"), TIMESTAMP "YYYY-MM-DD HH:MM:SS[.ffffff]+00:00",
// RECORD objects, REPEATED arrays, JSON parsed JSON; anything else (GEOGRAPHY,
// INTERVAL, RANGE) text.
//
// Inspection: datasets.list, tables.list and tables.get (the table's schema; RECORD
// columns as STRUCT<...>, REPEATED ones as ARRAY<...>).
//
// Not covered: user (OAuth) credentials and workload identity federation (a
// service-account key only), legacy SQL, query parameters of execute(), sessions.
#pragma once

#include <chrono>
#include <memory>

#include "velko/base/json.h"
#include "velko/platform/sql/driver.h"

namespace velko::platform::sql_remote {

inline constexpr const char* BIGQUERY_URL_ENV = "VELKO_BIGQUERY_URL";

struct BigqueryDriverOptions {
  // How long one jobs.query or getQueryResults call waits for the job (timeoutMs).
  std::chrono::milliseconds wait{2000};
  // The limit of each HTTP exchange (beyond `wait`).
  double request_timeout_seconds = 60;
};

std::shared_ptr<sql::Driver> make_bigquery_driver(BigqueryDriverOptions options = {});

// One f/v cell converted by its schema field ({"name", "type", "mode", "fields"}).
Json bigquery_value(const Json& field, const Json& raw);

}  // namespace velko::platform::sql_remote
