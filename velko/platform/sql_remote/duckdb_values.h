// DuckDB result vectors to the engine layer's values (see velko/platform/sql/result.h),
// for the DuckDB driver. Only in builds with DuckDB (VELKO_HAVE_DUCKDB).
//
// BOOLEAN booleans; integers up to 64 bits integers (HUGEINT and UHUGEINT as JSON
// integers when they fit in 64 bits, else their decimal text); FLOAT and DOUBLE floats;
// VARCHAR text (JSON-typed columns parsed); DECIMAL its text; DATE "YYYY-MM-DD"; TIME
// "HH:MM:SS[.ffffff]"; TIMESTAMP (all precisions) "YYYY-MM-DD HH:MM:SS[.ffffff]",
// TIMESTAMPTZ with "+00:00"; INTERVAL as the runtime's timedelta prints; UUID text;
// BLOB its bytes repr; ENUM its label; LIST and ARRAY arrays; STRUCT objects; MAP an
// object (keys as text); UNION its member's value; other types (BIT, BIGNUM, TIME_TZ...)
// text where DuckDB's C API gives one, else null.
#pragma once

#ifdef VELKO_HAVE_DUCKDB
#include <duckdb.h>

#include "velko/base/json.h"

namespace velko::platform::sql_remote {

// The value at `row` of `vector`, whose type is `type`. Nesting deeper than 64 levels
// comes back as null. With a `budget`, nested values (LIST, ARRAY, MAP, STRUCT) hold at
// most *budget elements in all, counted down as they are taken: a value cut this way
// still prints as more than *budget characters, so a caller that shows at most that many
// sees the same text, and memory stays bounded whatever the value's size.
Json duckdb_vector_value(duckdb_vector vector, duckdb_logical_type type, idx_t row, int depth = 0,
                         size_t* budget = nullptr);

// The value as a tool shows it when values are cut to `max_bytes` (platform/sql/
// value_bounds.h): a nested value whose text runs past max_bytes comes back as that text
// in its cut form, counted in full but built from at most max_bytes + 1 elements, so a
// list of millions of items costs no more memory than a short one. Other values as
// duckdb_vector_value gives them.
Json duckdb_shown_value(duckdb_vector vector, duckdb_logical_type type, idx_t row, size_t max_bytes);

}  // namespace velko::platform::sql_remote
#endif
