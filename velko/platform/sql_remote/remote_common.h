// Pieces the HTTP-based drivers share: value conversions, error texts and the HTTP
// exchange with a service. Thread-safe.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "velko/base/http.h"
#include "velko/base/json.h"
#include "velko/base/redact.h"
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

}  // namespace velko::platform::sql_remote
