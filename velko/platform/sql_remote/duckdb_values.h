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
// comes back as null.
Json duckdb_vector_value(duckdb_vector vector, duckdb_logical_type type, idx_t row, int depth = 0);

}  // namespace velko::platform::sql_remote
#endif
