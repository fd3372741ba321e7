// Dates, times and timestamps that warehouses send as numbers (Snowflake's SQL API:
// days or seconds since the epoch; BigQuery: seconds since the epoch), written in the
// text forms of the engine layer (see velko/platform/sql/text_forms.h):
// "2024-01-15", "10:30:00.123000", "2024-01-15 10:30:00.123456", "... +02:00".
// Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velko::platform::sql_remote {

// A point as whole seconds and nanoseconds (0 <= nanos < 1e9), seconds possibly negative.
struct EpochTime {
  int64_t seconds = 0;
  int32_t nanos = 0;
};

// "1577836800.123456789", "-1.5", "1.6725312001234E9", "42": decimal seconds, with an
// optional exponent. nullopt for anything else, or beyond the years 1 to 9999.
std::optional<EpochTime> epoch_seconds(std::string_view text);

// "YYYY-MM-DD HH:MM:SS[.ffffff]" (the fraction cut to microseconds, left out when zero),
// followed by the offset ("+00:00", "-08:00") when one is given.
std::string epoch_timestamp_text(EpochTime time, std::optional<int> offset_minutes = std::nullopt);

// "YYYY-MM-DD" of `days` since 1970-01-01.
std::string epoch_date_text(int64_t days);

// "HH:MM:SS[.ffffff]" of a time of day given as seconds since midnight.
std::string clock_text(EpochTime since_midnight);

}  // namespace velko::platform::sql_remote
