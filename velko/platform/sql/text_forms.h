// Text forms of values that have no JSON form, written the way the agent runtime's own
// tools print them (Python's str() of the value the database driver returns):
//
//   decimal     "1234.500000", "1E-7", "NaN"           (Decimal)
//   timestamp   "2024-01-15 10:30:00.123000"           (datetime; fraction as 6 digits)
//   with zone   "2024-01-15 10:30:00+00:00"            (aware datetime)
//   time        "10:30:00", "10:30:00+02:00"           (time)
//   interval    "1 day, 2:03:04", "-423 days, 19:54:53.500000"  (timedelta; a year is
//                                                       365 days, a month 30)
//   bytes       "b'\\x00\\xffA'"                       (bytes repr)
//
// A value these forms cannot hold (years after 9999 or before 1, "infinity", "24:00:00",
// an interval beyond 999999999 days) keeps the database's own text. Pure functions.
#pragma once

#include <string>
#include <string_view>

namespace velko::platform::sql {

// PostgreSQL output (DateStyle ISO, IntervalStyle postgres) to the forms above.
std::string decimal_text(std::string_view pg_numeric);
std::string timestamp_text(std::string_view pg_timestamp);  // with or without zone
std::string time_text(std::string_view pg_time);            // with or without zone
std::string interval_text(std::string_view pg_interval);
// Raw bytes to their repr.
std::string bytes_repr(std::string_view bytes);
// PostgreSQL's hex bytea output ("\x00ff41") to the repr of its bytes.
std::string bytea_text(std::string_view pg_bytea_hex);

}  // namespace velko::platform::sql
