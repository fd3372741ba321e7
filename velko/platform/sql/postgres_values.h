// PostgreSQL values in text format to JSON values, by type OID.
//
//   int2/int4/int8/oid       integer            float4/float8   float (NaN, Infinity too)
//   bool                     boolean            json/jsonb      parsed JSON
//   numeric, date, time(tz), timestamp(tz), interval, bytea     text form (text_forms.h)
//   arrays of the above      arrays (nested for several dimensions, NULL elements null)
//   text, varchar, uuid and every other type                    the server's text
//
// Expects the session settings the driver sets: DateStyle ISO, IntervalStyle postgres,
// bytea_output hex, client_encoding UTF8. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

#include "velko/base/json.h"

namespace velko::platform::sql {

using PgOid = uint32_t;

// One non-NULL value of type `type` in its text format.
Json pg_value(PgOid type, std::string_view text);

// The element type of array type `type`, or 0 when `type` is not an array type this
// layer knows.
PgOid pg_array_element_type(PgOid type);

}  // namespace velko::platform::sql
