#include "velko/platform/sql_remote/duckdb_values.h"

#ifdef VELKO_HAVE_DUCKDB

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

#include "velko/base/utf8.h"
#include "velko/platform/sql/text_forms.h"
#include "velko/platform/sql/value_bounds.h"
#include "velko/platform/sql_remote/epoch_text.h"
#include "velko/platform/sql_remote/statement_control.h"

namespace velko::platform::sql_remote {
namespace {

constexpr int kMostDepth = 64;

// Owns a logical type obtained from DuckDB.
class TypeHandle {
 public:
  explicit TypeHandle(duckdb_logical_type type) : type_(type) {}
  ~TypeHandle() {
    if (type_ != nullptr) duckdb_destroy_logical_type(&type_);
  }
  TypeHandle(const TypeHandle&) = delete;
  TypeHandle& operator=(const TypeHandle&) = delete;
  duckdb_logical_type get() const { return type_; }

 private:
  duckdb_logical_type type_;
};

// Owns a string DuckDB allocated.
std::string take_text(char* text) {
  if (text == nullptr) return {};
  std::string out(text);
  duckdb_free(text);
  return out;
}

std::string string_at(duckdb_vector vector, idx_t row) {
  const auto* strings = static_cast<const duckdb_string_t*>(duckdb_vector_get_data(vector));
  const duckdb_string_t& value = strings[row];
  uint32_t length = value.value.inlined.length;
  const char* data = length <= 12 ? value.value.inlined.inlined : value.value.pointer.ptr;
  return std::string(data, length);
}

// Decimal text of a 128-bit magnitude.
std::string unsigned128_text(unsigned __int128 value) {
  if (value == 0) return "0";
  std::string digits;
  while (value > 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  }
  return digits;
}

std::string signed128_text(__int128 value) {
  if (value < 0) return "-" + unsigned128_text(static_cast<unsigned __int128>(-(value + 1)) + 1);
  return unsigned128_text(static_cast<unsigned __int128>(value));
}

Json integer128(__int128 value) {
  if (value >= std::numeric_limits<int64_t>::min() && value <= std::numeric_limits<int64_t>::max()) {
    return Json(static_cast<int64_t>(value));
  }
  return Json(signed128_text(value));
}

__int128 hugeint_value(const duckdb_hugeint& value) {
  return static_cast<__int128>((static_cast<unsigned __int128>(static_cast<uint64_t>(value.upper)) << 64) |
                               value.lower);
}

std::string decimal_text(__int128 value, int scale) {
  bool negative = value < 0;
  std::string digits = negative ? signed128_text(value).substr(1) : signed128_text(value);
  if (scale > 0) {
    if (static_cast<int>(digits.size()) <= scale) digits.insert(0, static_cast<size_t>(scale) + 1 - digits.size(), '0');
    digits.insert(digits.size() - static_cast<size_t>(scale), ".");
  }
  return negative ? "-" + digits : digits;
}

EpochTime from_units(int64_t value, int64_t per_second) {
  int64_t seconds = value / per_second;
  int64_t rest = value % per_second;
  if (rest < 0) {
    rest += per_second;
    seconds -= 1;
  }
  return EpochTime{seconds, static_cast<int32_t>(rest * (1000000000 / per_second))};
}

Json timestamp_value(int64_t value, int64_t per_second, bool with_zone) {
  if (value == std::numeric_limits<int64_t>::max()) return Json("infinity");
  if (value == -std::numeric_limits<int64_t>::max()) return Json("-infinity");
  EpochTime time = from_units(value, per_second);
  // Years 1 to 9999 only (as the runtime's datetime); DuckDB's own range is wider.
  if (time.seconds < -62135596800LL || time.seconds >= 253402300800LL) return Json(std::to_string(value));
  return Json(epoch_timestamp_text(time, with_zone ? std::optional<int>(0) : std::nullopt));
}

std::string interval_text(const duckdb_interval& interval) {
  int64_t micros = interval.micros;
  bool negative = micros < 0;
  uint64_t magnitude = negative ? static_cast<uint64_t>(-(micros + 1)) + 1 : static_cast<uint64_t>(micros);
  char clock[48];
  std::snprintf(clock, sizeof clock, "%s%llu:%02llu:%02llu.%06llu", negative ? "-" : "",
                static_cast<unsigned long long>(magnitude / 3600000000ULL),
                static_cast<unsigned long long>(magnitude / 60000000ULL % 60),
                static_cast<unsigned long long>(magnitude / 1000000ULL % 60),
                static_cast<unsigned long long>(magnitude % 1000000ULL));
  std::string pg = std::to_string(interval.months) + " mons " + std::to_string(interval.days) + " days " + clock;
  return sql::interval_text(pg);
}

std::string uuid_text(const duckdb_hugeint& value) {
  uint64_t upper = static_cast<uint64_t>(value.upper) ^ (uint64_t{1} << 63);
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%08llx-%04llx-%04llx-%04llx-%012llx",
                static_cast<unsigned long long>(upper >> 32), static_cast<unsigned long long>((upper >> 16) & 0xFFFF),
                static_cast<unsigned long long>(upper & 0xFFFF), static_cast<unsigned long long>(value.lower >> 48),
                static_cast<unsigned long long>(value.lower & 0xFFFFFFFFFFFFULL));
  return buffer;
}

bool is_json_alias(duckdb_logical_type type) {
  std::string alias = take_text(duckdb_logical_type_get_alias(type));
  return alias == "JSON";
}

template <typename T>
T at(duckdb_vector vector, idx_t row) {
  return static_cast<const T*>(duckdb_vector_get_data(vector))[row];
}

// The entries of the MAP at `row`: a list of STRUCT(key, value).
struct MapEntries {
  MapEntries(duckdb_vector vector, duckdb_logical_type type, idx_t row)
      : entry(at<duckdb_list_entry>(vector, row)),
        entries(duckdb_list_vector_get_child(vector)),
        keys(duckdb_struct_vector_get_child(entries, 0)),
        values(duckdb_struct_vector_get_child(entries, 1)),
        key_type(duckdb_map_type_key_type(type)),
        value_type(duckdb_map_type_value_type(type)) {}

  // Entry `idx`'s key as an object member's name: text as it is, anything else its JSON.
  std::string key_text(idx_t idx, int depth, size_t* budget) const {
    Json key = duckdb_vector_value(keys, key_type.get(), entry.offset + idx, depth, budget);
    return key.is_string() ? key.get<std::string>() : key.dump();
  }
  Json value(idx_t idx, int depth, size_t* budget) const {
    return duckdb_vector_value(values, value_type.get(), entry.offset + idx, depth, budget);
  }

  duckdb_list_entry entry;
  duckdb_vector entries, keys, values;
  TypeHandle key_type, value_type;
};

// A JSON object built member by member in linear time (Json's own operator[] searches
// its members one by one, which made a map of n keys cost n * n): a new name is appended,
// a repeated one replaces the earlier value in its place, as operator[] would.
class Members {
 public:
  void put(std::string name, Json value) {
    if (seen_.insert(name).second) {
      object_.get_ref<Json::object_t&>().emplace_back(std::move(name), std::move(value));
    } else {
      object_[name] = std::move(value);
    }
  }
  Json json() && { return std::move(object_); }

 private:
  Json object_ = Json::object();
  std::unordered_set<std::string> seen_;
};

// Takes one element from `budget` (null: no budget): false once it is spent.
bool take(size_t* budget) {
  if (budget == nullptr) return true;
  if (*budget == 0) return false;
  --*budget;
  return true;
}

// Booleans, numbers, text and bytes; nullopt for the other types.
std::optional<Json> plain_value(duckdb_vector vector, duckdb_logical_type type, idx_t row) {
  switch (duckdb_get_type_id(type)) {
    case DUCKDB_TYPE_BOOLEAN:
      return Json(at<bool>(vector, row));
    case DUCKDB_TYPE_TINYINT:
      return Json(at<int8_t>(vector, row));
    case DUCKDB_TYPE_SMALLINT:
      return Json(at<int16_t>(vector, row));
    case DUCKDB_TYPE_INTEGER:
      return Json(at<int32_t>(vector, row));
    case DUCKDB_TYPE_BIGINT:
      return Json(at<int64_t>(vector, row));
    case DUCKDB_TYPE_UTINYINT:
      return Json(at<uint8_t>(vector, row));
    case DUCKDB_TYPE_USMALLINT:
      return Json(at<uint16_t>(vector, row));
    case DUCKDB_TYPE_UINTEGER:
      return Json(at<uint32_t>(vector, row));
    case DUCKDB_TYPE_UBIGINT:
      return Json(at<uint64_t>(vector, row));
    case DUCKDB_TYPE_HUGEINT:
      return integer128(hugeint_value(at<duckdb_hugeint>(vector, row)));
    case DUCKDB_TYPE_UHUGEINT: {
      auto value = at<duckdb_uhugeint>(vector, row);
      unsigned __int128 whole = (static_cast<unsigned __int128>(value.upper) << 64) | value.lower;
      if (whole <= std::numeric_limits<uint64_t>::max()) return Json(static_cast<uint64_t>(whole));
      return Json(unsigned128_text(whole));
    }
    case DUCKDB_TYPE_FLOAT:
      return Json(static_cast<double>(at<float>(vector, row)));
    case DUCKDB_TYPE_DOUBLE:
      return Json(at<double>(vector, row));
    case DUCKDB_TYPE_VARCHAR: {
      std::string text = string_at(vector, row);
      if (is_json_alias(type)) {
        if (auto parsed = parse_service_json(text)) return *parsed;
      }
      return Json(std::move(text));
    }
    case DUCKDB_TYPE_BLOB:
      return Json(sql::bytes_repr(string_at(vector, row)));
    case DUCKDB_TYPE_DECIMAL: {
      int scale = duckdb_decimal_scale(type);
      __int128 value = 0;
      switch (duckdb_decimal_internal_type(type)) {
        case DUCKDB_TYPE_SMALLINT:
          value = at<int16_t>(vector, row);
          break;
        case DUCKDB_TYPE_INTEGER:
          value = at<int32_t>(vector, row);
          break;
        case DUCKDB_TYPE_BIGINT:
          value = at<int64_t>(vector, row);
          break;
        default:
          value = hugeint_value(at<duckdb_hugeint>(vector, row));
      }
      return Json(decimal_text(value, scale));
    }
    default:
      return std::nullopt;
  }
}

// Dates, times, timestamps and intervals; nullopt for the other types.
std::optional<Json> temporal_value(duckdb_vector vector, duckdb_logical_type type, idx_t row) {
  switch (duckdb_get_type_id(type)) {
    case DUCKDB_TYPE_DATE: {
      int32_t days = at<duckdb_date>(vector, row).days;
      if (days == std::numeric_limits<int32_t>::max()) return Json("infinity");
      if (days == -std::numeric_limits<int32_t>::max()) return Json("-infinity");
      if (days < -719162 || days >= 2932897) return Json(std::to_string(days));
      return Json(epoch_date_text(days));
    }
    case DUCKDB_TYPE_TIME:
      return Json(clock_text(from_units(at<duckdb_time>(vector, row).micros, 1000000)));
    case DUCKDB_TYPE_TIME_NS:
      return Json(clock_text(from_units(at<duckdb_time_ns>(vector, row).nanos, 1000000000)));
    case DUCKDB_TYPE_TIME_TZ: {
      duckdb_time_tz_struct value = duckdb_from_time_tz(at<duckdb_time_tz>(vector, row));
      int64_t micros = ((value.time.hour * 60LL + value.time.min) * 60 + value.time.sec) * 1000000 + value.time.micros;
      int offset = value.offset / 60;
      char zone[16];
      std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                    std::abs(offset) % 60);
      return Json(clock_text(from_units(micros, 1000000)) + zone);
    }
    case DUCKDB_TYPE_TIMESTAMP:
      return timestamp_value(at<duckdb_timestamp>(vector, row).micros, 1000000, false);
    case DUCKDB_TYPE_TIMESTAMP_TZ:
      return timestamp_value(at<duckdb_timestamp>(vector, row).micros, 1000000, true);
    case DUCKDB_TYPE_TIMESTAMP_S:
      return timestamp_value(at<duckdb_timestamp_s>(vector, row).seconds, 1, false);
    case DUCKDB_TYPE_TIMESTAMP_MS:
      return timestamp_value(at<duckdb_timestamp_ms>(vector, row).millis, 1000, false);
    case DUCKDB_TYPE_TIMESTAMP_NS:
      return timestamp_value(at<duckdb_timestamp_ns>(vector, row).nanos, 1000000000, false);
    case DUCKDB_TYPE_INTERVAL:
      return Json(interval_text(at<duckdb_interval>(vector, row)));
    default:
      return std::nullopt;
  }
}

// UUIDs, enums and the nested types; null for a type without a value form.
Json other_value(duckdb_vector vector, duckdb_logical_type type, idx_t row, int depth, size_t* budget) {
  switch (duckdb_get_type_id(type)) {
    case DUCKDB_TYPE_UUID:
      return Json(uuid_text(at<duckdb_hugeint>(vector, row)));
    case DUCKDB_TYPE_ENUM: {
      uint64_t index = 0;
      switch (duckdb_enum_internal_type(type)) {
        case DUCKDB_TYPE_UTINYINT:
          index = at<uint8_t>(vector, row);
          break;
        case DUCKDB_TYPE_USMALLINT:
          index = at<uint16_t>(vector, row);
          break;
        default:
          index = at<uint32_t>(vector, row);
      }
      if (index >= duckdb_enum_dictionary_size(type)) return nullptr;
      return Json(take_text(duckdb_enum_dictionary_value(type, index)));
    }
    case DUCKDB_TYPE_LIST: {
      auto entry = at<duckdb_list_entry>(vector, row);
      duckdb_vector child = duckdb_list_vector_get_child(vector);
      TypeHandle child_type(duckdb_list_type_child_type(type));
      Json items = Json::array();
      for (idx_t idx = 0; idx < entry.length && take(budget); ++idx) {
        items.push_back(duckdb_vector_value(child, child_type.get(), entry.offset + idx, depth + 1, budget));
      }
      return items;
    }
    case DUCKDB_TYPE_ARRAY: {
      idx_t size = duckdb_array_type_array_size(type);
      duckdb_vector child = duckdb_array_vector_get_child(vector);
      TypeHandle child_type(duckdb_array_type_child_type(type));
      Json items = Json::array();
      for (idx_t idx = 0; idx < size && take(budget); ++idx) {
        items.push_back(duckdb_vector_value(child, child_type.get(), row * size + idx, depth + 1, budget));
      }
      return items;
    }
    case DUCKDB_TYPE_MAP: {
      MapEntries map(vector, type, row);
      Members object;
      for (idx_t idx = 0; idx < map.entry.length && take(budget); ++idx) {
        object.put(map.key_text(idx, depth + 1, budget), map.value(idx, depth + 1, budget));
      }
      return std::move(object).json();
    }
    case DUCKDB_TYPE_STRUCT: {
      Members object;
      idx_t count = duckdb_struct_type_child_count(type);
      for (idx_t idx = 0; idx < count && take(budget); ++idx) {
        TypeHandle child_type(duckdb_struct_type_child_type(type, idx));
        object.put(
            take_text(duckdb_struct_type_child_name(type, idx)),
            duckdb_vector_value(duckdb_struct_vector_get_child(vector, idx), child_type.get(), row, depth + 1, budget));
      }
      return std::move(object).json();
    }
    case DUCKDB_TYPE_UNION: {
      // A STRUCT whose first child is the tag and whose others are the members.
      uint8_t tag = at<uint8_t>(duckdb_struct_vector_get_child(vector, 0), row);
      if (tag >= duckdb_union_type_member_count(type)) return nullptr;
      TypeHandle member_type(duckdb_union_type_member_type(type, tag));
      return duckdb_vector_value(duckdb_struct_vector_get_child(vector, static_cast<idx_t>(tag) + 1), member_type.get(),
                                 row, depth + 1, budget);
    }
    default:
      return nullptr;
  }
}

}  // namespace

Json duckdb_vector_value(duckdb_vector vector, duckdb_logical_type type, idx_t row, int depth, size_t* budget) {
  if (depth > kMostDepth) return nullptr;
  uint64_t* validity = duckdb_vector_get_validity(vector);
  if (validity != nullptr && !duckdb_validity_row_is_valid(validity, row)) return nullptr;
  if (std::optional<Json> plain = plain_value(vector, type, row)) return std::move(*plain);
  if (std::optional<Json> temporal = temporal_value(vector, type, row)) return std::move(*temporal);
  return other_value(vector, type, row, depth, budget);
}

namespace {

// How many characters (code points) base::dumps(duckdb_vector_value(...)) prints, found
// without holding the nested value: each element is converted, measured and dropped.
size_t shown_length(duckdb_vector vector, duckdb_logical_type type, idx_t row, int depth) {
  constexpr size_t kNull = 4;  // null
  if (depth > kMostDepth) return kNull;
  uint64_t* validity = duckdb_vector_get_validity(vector);
  if (validity != nullptr && !duckdb_validity_row_is_valid(validity, row)) return kNull;
  // "[a, b]" and "{"k": v, ...}": the brackets, and ", " between items.
  auto framed = [](size_t items, size_t inside) { return 2 + inside + (items > 0 ? 2 * (items - 1) : 0); };
  auto key_length = [](const std::string& key) { return base::count_code_points(base::dumps(Json(key))) + 2; };
  switch (duckdb_get_type_id(type)) {
    case DUCKDB_TYPE_LIST: {
      auto entry = at<duckdb_list_entry>(vector, row);
      duckdb_vector child = duckdb_list_vector_get_child(vector);
      TypeHandle child_type(duckdb_list_type_child_type(type));
      size_t inside = 0;
      for (idx_t idx = 0; idx < entry.length; ++idx) {
        inside += shown_length(child, child_type.get(), entry.offset + idx, depth + 1);
      }
      return framed(entry.length, inside);
    }
    case DUCKDB_TYPE_ARRAY: {
      idx_t size = duckdb_array_type_array_size(type);
      duckdb_vector child = duckdb_array_vector_get_child(vector);
      TypeHandle child_type(duckdb_array_type_child_type(type));
      size_t inside = 0;
      for (idx_t idx = 0; idx < size; ++idx)
        inside += shown_length(child, child_type.get(), row * size + idx, depth + 1);
      return framed(size, inside);
    }
    case DUCKDB_TYPE_MAP: {
      MapEntries map(vector, type, row);
      size_t inside = 0;
      for (idx_t idx = 0; idx < map.entry.length; ++idx) {
        inside += key_length(map.key_text(idx, depth + 1, nullptr)) +
                  shown_length(map.values, map.value_type.get(), map.entry.offset + idx, depth + 1);
      }
      return framed(map.entry.length, inside);
    }
    case DUCKDB_TYPE_STRUCT: {
      idx_t count = duckdb_struct_type_child_count(type);
      size_t inside = 0;
      for (idx_t idx = 0; idx < count; ++idx) {
        TypeHandle child_type(duckdb_struct_type_child_type(type, idx));
        inside += key_length(take_text(duckdb_struct_type_child_name(type, idx))) +
                  shown_length(duckdb_struct_vector_get_child(vector, idx), child_type.get(), row, depth + 1);
      }
      return framed(count, inside);
    }
    case DUCKDB_TYPE_UNION: {
      uint8_t tag = at<uint8_t>(duckdb_struct_vector_get_child(vector, 0), row);
      if (tag >= duckdb_union_type_member_count(type)) return kNull;
      TypeHandle member_type(duckdb_union_type_member_type(type, tag));
      return shown_length(duckdb_struct_vector_get_child(vector, static_cast<idx_t>(tag) + 1), member_type.get(), row,
                          depth + 1);
    }
    default:
      return base::count_code_points(base::dumps(duckdb_vector_value(vector, type, row, depth)));
  }
}

}  // namespace

Json duckdb_shown_value(duckdb_vector vector, duckdb_logical_type type, idx_t row, size_t max_bytes) {
  size_t budget = max_bytes + 1;
  Json value = duckdb_vector_value(vector, type, row, 0, &budget);
  if (budget > 0) return value;  // whole: the caller bounds it as any other value
  // Cut short: the elements taken print as more than max_bytes characters, so the text of
  // what was taken starts as the whole value's text does.
  return Json(sql::cut_text_start(base::dumps(value), shown_length(vector, type, row, 0), max_bytes));
}

}  // namespace velko::platform::sql_remote

#endif
