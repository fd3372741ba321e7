// ClickHouse result bodies to engine-layer values (see clickhouse_driver.h). Kept apart
// from the HTTP driver so that it builds on its own (fuzz/clickhouse_rows_fuzz.cc).
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/platform/sql_remote/clickhouse_driver.h"
#include "velko/platform/sql_remote/remote_common.h"

namespace velko::platform::sql_remote {
namespace {

// "Name(args)" -> {"Name", "args"}; "Name" -> {"Name", ""}.
std::pair<std::string_view, std::string_view> split_type(std::string_view type) {
  type = base::strip(type);
  size_t open = type.find('(');
  if (open == std::string_view::npos || type.back() != ')') return {type, {}};
  return {type.substr(0, open), type.substr(open + 1, type.size() - open - 2)};
}

bool starts_with_any(std::string_view text, std::initializer_list<std::string_view> prefixes) {
  for (auto prefix : prefixes) {
    if (text.starts_with(prefix)) return true;
  }
  return false;
}

Json integer_of(const Json& raw) {
  if (raw.is_number_integer()) return raw;
  if (raw.is_string()) {
    if (auto value = integer_value(raw.get_ref<const std::string&>())) return *value;
  }
  if (raw.is_number_float()) {
    double value = raw.get<double>();
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 9.2e18) {
      return Json(static_cast<int64_t>(value));
    }
  }
  return raw;  // 128/256-bit values beyond 64 bits keep the server's text
}

Json float_of(const Json& raw) {
  if (raw.is_number()) return Json(raw.get<double>());
  if (raw.is_string()) {
    if (auto value = float_value(raw.get_ref<const std::string&>())) return Json(*value);
  }
  return raw;
}

Json text_of(const Json& raw) {
  if (raw.is_string()) return raw;
  return Json(raw.dump());
}

}  // namespace

Json clickhouse_value(std::string_view type, const Json& raw) {
  if (raw.is_null()) return raw;
  auto [name, inside] = split_type(type);
  if (name == "Nullable" || name == "LowCardinality" || name == "SimpleAggregateFunction") {
    auto args = type_arguments(inside);
    return args.empty() ? raw : clickhouse_value(args.back(), raw);
  }
  if (starts_with_any(name, {"Int", "UInt"})) return integer_of(raw);
  if (name == "Float32" || name == "Float64" || name == "BFloat16") return float_of(raw);
  if (name == "Bool") {
    if (raw.is_boolean()) return raw;
    if (raw.is_number()) return Json(raw.get<double>() != 0);
    if (raw.is_string()) return Json(raw.get_ref<const std::string&>() == "true");
    return raw;
  }
  if (name.starts_with("Decimal")) return raw.is_string() ? raw : Json(raw.dump());
  if (name == "DateTime64") {
    return raw.is_string() ? Json(timestamp_text(raw.get_ref<const std::string&>())) : text_of(raw);
  }
  if (name == "Date" || name == "Date32" || name == "DateTime" || name == "UUID" || name == "IPv4" || name == "IPv6" ||
      name == "String" || name == "FixedString" || name.starts_with("Enum")) {
    return text_of(raw);
  }
  if (name == "Nothing") return nullptr;
  if (name == "Array" && raw.is_array()) {
    Json out = Json::array();
    for (const auto& element : raw) out.push_back(clickhouse_value(inside, element));
    return out;
  }
  if (name == "Tuple") {
    auto args = type_arguments(inside);
    // A named element is written "name Type".
    auto element_type = [&](size_t idx) -> std::string_view {
      std::string_view arg = args[idx];
      size_t space = arg.find(' ');
      size_t paren = arg.find('(');
      if (space != std::string_view::npos && (paren == std::string_view::npos || space < paren)) {
        return base::strip(arg.substr(space + 1));
      }
      return arg;
    };
    if (raw.is_array() && raw.size() == args.size()) {
      Json out = Json::array();
      for (size_t idx = 0; idx < args.size(); ++idx) out.push_back(clickhouse_value(element_type(idx), raw[idx]));
      return out;
    }
    if (raw.is_object() && raw.size() == args.size()) {
      Json out = Json::object();
      size_t idx = 0;
      for (const auto& [key, value] : raw.items()) out[key] = clickhouse_value(element_type(idx++), value);
      return out;
    }
    return raw;
  }
  if (name == "Map" && raw.is_object()) {
    auto args = type_arguments(inside);
    if (args.size() != 2) return raw;
    Json out = Json::object();
    for (const auto& [key, value] : raw.items()) out[key] = clickhouse_value(args[1], value);
    return out;
  }
  return raw;
}

sql::Result parse_clickhouse_rows(std::string_view body, size_t max_rows) {
  if (base::strip(body).empty()) return sql::Result();
  auto bad_line = [](std::string_view line) -> base::DatabaseError {
    return base::DatabaseError(line.starts_with("Code: ") || line.find("DB::Exception") != std::string_view::npos
                                   ? message_text(line)
                                   : "ClickHouse sent a result this driver cannot read: " + message_text(line, 200));
  };
  size_t pos = 0;
  auto next_line = [&]() -> std::optional<std::string_view> {
    while (pos < body.size()) {
      size_t end = body.find('\n', pos);
      if (end == std::string_view::npos) end = body.size();
      std::string_view line = body.substr(pos, end - pos);
      pos = end + 1;
      if (!base::strip(line).empty()) return line;
    }
    return std::nullopt;
  };
  auto parse_array = [&](std::string_view line) -> Json {
    Json value = Json::parse(line, nullptr, false);
    if (value.is_discarded() || !value.is_array()) throw bad_line(line);
    return value;
  };

  auto names_line = next_line();
  auto types_line = next_line();
  if (!names_line || !types_line) throw bad_line(names_line.value_or(body));
  Json names = parse_array(*names_line);
  Json types = parse_array(*types_line);
  if (names.size() != types.size()) throw bad_line(*types_line);
  std::vector<std::string> keys;
  std::vector<std::string> type_names;
  for (size_t idx = 0; idx < names.size(); ++idx) {
    if (!names[idx].is_string() || !types[idx].is_string()) throw bad_line(*names_line);
    keys.push_back(names[idx].get<std::string>());
    type_names.push_back(types[idx].get<std::string>());
  }

  std::vector<sql::Row> rows;
  bool truncated = false;
  while (auto line = next_line()) {
    if (max_rows > 0 && rows.size() >= max_rows) {
      // One more row is what the server was asked for beyond the cap; the rest is not
      // converted. An exception after the rows still counts.
      if (line->starts_with("Code: ")) throw bad_line(*line);
      truncated = true;
      continue;
    }
    Json values = parse_array(*line);
    if (values.size() != keys.size()) throw bad_line(*line);
    sql::Row row;
    row.reserve(keys.size());
    for (size_t idx = 0; idx < keys.size(); ++idx) row.push_back(clickhouse_value(type_names[idx], values[idx]));
    rows.push_back(std::move(row));
  }
  return sql::Result(std::move(keys), std::move(rows), truncated);
}

}  // namespace velko::platform::sql_remote
