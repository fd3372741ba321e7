// Pieces the HTTP-based drivers share: value conversions, error texts and the HTTP
// exchange with a service. Thread-safe.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/http.h"
#include "velko/base/json.h"
#include "velko/base/redact.h"
#include "velko/platform/sql/driver.h"
#include "velko/platform/sql/result.h"

namespace velko::platform::sql_remote {

// A timestamp as "YYYY-MM-DD HH:MM:SS[.ffffff][+HH:MM]", the way the agent runtime's
// datetime prints: "T" between date and time becomes a space, a fraction is cut or
// padded to 6 digits and left out when zero, "Z" becomes "+00:00". Text of another form
// is returned unchanged.
std::string timestamp_text(std::string_view text);

// An integer written in decimal, when it fits in 64 bits (signed or unsigned).
std::optional<Json> integer_value(std::string_view text);
// A float from text: decimal forms, and nan, inf, +inf, -inf, Infinity, -Infinity
// in any letter case.
std::optional<double> float_value(std::string_view text);

// The arguments of a type such as "Map(String, Array(Nullable(Int64)))" or
// "Enum8('a,b' = 1)", split at the top-level commas and trimmed.
std::vector<std::string_view> type_arguments(std::string_view inside);

// `text` cut to at most `limit` bytes (never inside a UTF-8 sequence), "..." appended
// when cut; control characters other than line feeds and tabs dropped.
std::string message_text(std::string_view text, size_t limit = 2000);

// Appends the rows of `data` (a JSON array of value arrays, as the SQL APIs send a page;
// anything else adds nothing) to `rows`, value `idx` of each converted by
// `convert(idx, value)`. Once `max_rows` rows are held (0: no cap) it stops and sets
// `truncated`. A row that is not an array of `width` values throws DatabaseError
// "{service} sent a row that does not match the result's columns".
void append_json_rows(const Json& data, size_t width, size_t max_rows,
                      const std::function<Json(size_t, const Json&)>& convert, std::string_view service,
                      std::vector<sql::Row>& rows, bool& truncated);

// Sends `request` to the warehouse service named `service` in messages ("Snowflake") and
// returns its answer whatever the HTTP status. Failures to exchange are the drivers'
// errors: DatabaseError "{service} did not answer within N seconds" when
// request.timeout_seconds passes, DisconnectionError "Could not connect to {service}: ..."
// and "The exchange with {service} failed: ...", DatabaseError "Invalid {service}
// address: ..."; each message is cut with message_text and has `redactor`'s secrets
// masked.
base::HttpResponse exchange(std::string_view service, const base::HttpRequest& request,
                            const base::Redactor& redactor = base::Redactor());

// The time limit of an inspection call whose caller set none.
inline constexpr std::chrono::seconds INSPECTION_TIMEOUT{120};

// The caller's options for an inspection call: its cancellation, no row cap, and its time
// limit or INSPECTION_TIMEOUT when it has none.
sql::ExecuteOptions inspection_options(const sql::ExecuteOptions& caller);

// The text values of the result's first column, in order; rows whose first value is not
// text are left out.
std::vector<std::string> first_column_texts(const sql::Result& result);

// The connection of a warehouse reached by stateless HTTP calls, on a service with no
// read-only session of its own: there is nothing to ping or reset, and execute() refuses
// text that is not exactly one statement (single_statement) or not a read
// (ensure_read_only), with their DatabaseError, before run_read sends anything.
class ReadOnlyHttpConnection : public sql::DriverConnection {
 public:
  bool ping() override { return true; }
  bool reset() override { return true; }
  sql::Result execute(std::string_view sql, const sql::ExecuteOptions& options) final;

 protected:
  // Runs `statement`, already checked, under `options`.
  virtual sql::Result run_read(const std::string& statement, const sql::ExecuteOptions& options) = 0;
};

}  // namespace velko::platform::sql_remote
