#include "velko/platform/sql_remote/epoch_text.h"

#include <cstdio>

namespace velko::platform::sql_remote {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
// 0001-01-01 and 10000-01-01 as days since 1970-01-01.
constexpr int64_t kFirstDay = -719162;
constexpr int64_t kEndDay = 2932897;

struct CivilDate {
  int64_t year;
  unsigned month, day;
};

// Howard Hinnant's civil_from_days.
CivilDate civil_from_days(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t year = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned day = doy - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {month <= 2 ? year + 1 : year, month, day};
}

int64_t floor_div(int64_t value, int64_t divisor) {
  int64_t quotient = value / divisor;
  if (value % divisor != 0 && (value < 0) != (divisor < 0)) --quotient;
  return quotient;
}

std::string fraction_text(int32_t nanos) {
  int32_t micros = nanos / 1000;
  if (micros == 0) return {};
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, ".%06d", micros);
  return buffer;
}

std::string hms_text(int64_t seconds_of_day, int32_t nanos) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", static_cast<int>(seconds_of_day / 3600),
                static_cast<int>(seconds_of_day / 60 % 60), static_cast<int>(seconds_of_day % 60));
  return buffer + fraction_text(nanos);
}

}  // namespace

std::optional<EpochTime> epoch_seconds(std::string_view text) {
  size_t idx = 0;
  bool negative = false;
  if (idx < text.size() && (text[idx] == '-' || text[idx] == '+')) negative = text[idx++] == '-';
  std::string digits;    // every mantissa digit
  long long point = -1;  // digits before the decimal point
  for (; idx < text.size(); ++idx) {
    char ch = text[idx];
    if (ch >= '0' && ch <= '9') {
      if (digits.size() > 40) return std::nullopt;
      digits += ch;
    } else if (ch == '.' && point < 0) {
      point = static_cast<long long>(digits.size());
    } else {
      break;
    }
  }
  if (digits.empty()) return std::nullopt;
  if (point < 0) point = static_cast<long long>(digits.size());
  if (idx < text.size() && (text[idx] == 'e' || text[idx] == 'E')) {
    ++idx;
    bool exponent_negative = false;
    if (idx < text.size() && (text[idx] == '-' || text[idx] == '+')) exponent_negative = text[idx++] == '-';
    long long exponent = 0;
    size_t exponent_start = idx;
    for (; idx < text.size() && text[idx] >= '0' && text[idx] <= '9'; ++idx) {
      exponent = exponent * 10 + (text[idx] - '0');
      if (exponent > 40) return std::nullopt;
    }
    if (idx == exponent_start) return std::nullopt;
    point += exponent_negative ? -exponent : exponent;
  }
  if (idx != text.size()) return std::nullopt;
  // Shift the point: whole part = digits[0, point), fraction = the rest.
  while (point < 0) {
    digits.insert(digits.begin(), '0');
    ++point;
  }
  while (static_cast<long long>(digits.size()) < point) digits += '0';
  std::string whole = digits.substr(0, static_cast<size_t>(point));
  std::string fraction = digits.substr(static_cast<size_t>(point));
  size_t lead = whole.find_first_not_of('0');
  whole = lead == std::string::npos ? "0" : whole.substr(lead);
  if (whole.size() > 12) return std::nullopt;  // far beyond the year 9999
  fraction = (fraction + "000000000").substr(0, 9);
  EpochTime time{std::stoll(whole), static_cast<int32_t>(std::stol(fraction))};
  if (negative) {
    time.seconds = -time.seconds;
    if (time.nanos > 0) {
      time.seconds -= 1;
      time.nanos = 1000000000 - time.nanos;
    }
  }
  int64_t day = floor_div(time.seconds, kSecondsPerDay);
  if (day < kFirstDay || day >= kEndDay) return std::nullopt;
  return time;
}

std::string epoch_date_text(int64_t days) {
  CivilDate date = civil_from_days(days);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02u", static_cast<long long>(date.year), date.month, date.day);
  return buffer;
}

std::string epoch_timestamp_text(EpochTime time, std::optional<int> offset_minutes) {
  int64_t local = time.seconds + (offset_minutes ? int64_t{*offset_minutes} * 60 : 0);
  int64_t day = floor_div(local, kSecondsPerDay);
  std::string text = epoch_date_text(day) + " " + hms_text(local - day * kSecondsPerDay, time.nanos);
  if (offset_minutes) {
    int minutes = *offset_minutes < 0 ? -*offset_minutes : *offset_minutes;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%c%02d:%02d", *offset_minutes < 0 ? '-' : '+', minutes / 60 % 100,
                  minutes % 60);
    text += buffer;
  }
  return text;
}

std::string clock_text(EpochTime since_midnight) {
  int64_t seconds = since_midnight.seconds % kSecondsPerDay;
  if (seconds < 0) seconds += kSecondsPerDay;
  return hms_text(seconds, since_midnight.nanos);
}

}  // namespace velko::platform::sql_remote
