#include "velko/platform/sql_remote/remote_common.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"
#include "velko/platform/sql/driver.h"
#include "velko/platform/sql/text_forms.h"
#include "velko/platform/sql_remote/statement_text.h"

namespace velko::platform::sql_remote {
namespace {

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

}  // namespace

std::string timestamp_text(std::string_view text) {
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || (text[10] != 'T' && text[10] != ' ')) {
    return std::string(text);
  }
  std::string normal(text);
  normal[10] = ' ';
  if (normal.back() == 'Z' || normal.back() == 'z') {
    normal.pop_back();
    normal += "+00";
  }
  // Cut a fraction longer than microseconds.
  if (normal.size() > 19 && normal[19] == '.') {
    size_t digits_end = 20;
    while (digits_end < normal.size() && is_digit(normal[digits_end])) ++digits_end;
    if (digits_end - 20 > 6) {
      normal.erase(26, digits_end - 26);
      digits_end = 26;
    }
    // A zero fraction is no fraction, as the runtime's datetime prints it.
    if (normal.find_first_not_of('0', 20) >= digits_end) normal.erase(19, digits_end - 19);
  }
  return sql::timestamp_text(normal);
}

std::optional<Json> integer_value(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text[0] == '-') {
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return Json(value);
  }
  std::string_view digits = text[0] == '+' ? text.substr(1) : text;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return Json(static_cast<int64_t>(value));
  return Json(value);
}

std::optional<double> float_value(std::string_view text) {
  std::string word = base::ascii_lower(base::strip(text));
  if (word == "nan" || word == "+nan" || word == "-nan") return std::numeric_limits<double>::quiet_NaN();
  if (word == "inf" || word == "+inf" || word == "infinity" || word == "+infinity") {
    return std::numeric_limits<double>::infinity();
  }
  if (word == "-inf" || word == "-infinity") return -std::numeric_limits<double>::infinity();
  if (word.empty()) return std::nullopt;
  std::string_view digits = word;
  if (digits[0] == '+') digits.remove_prefix(1);
  double value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error == std::errc::result_out_of_range) {
    return digits[0] == '-' ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  }
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> type_arguments(std::string_view inside) {
  std::vector<std::string_view> out;
  int depth = 0;
  char quote = 0;
  size_t start = 0;
  for (size_t idx = 0; idx < inside.size(); ++idx) {
    char ch = inside[idx];
    if (quote != 0) {
      if (ch == '\\') {
        ++idx;
      } else if (ch == quote) {
        quote = 0;
      }
      continue;
    }
    if (ch == '\'' || ch == '"' || ch == '`') {
      quote = ch;
    } else if (ch == '(' || ch == '<' || ch == '[') {
      ++depth;
    } else if (ch == ')' || ch == '>' || ch == ']') {
      --depth;
    } else if (ch == ',' && depth == 0) {
      out.push_back(base::strip(inside.substr(start, idx - start)));
      start = idx + 1;
    }
  }
  std::string_view last = base::strip(inside.substr(start));
  if (!last.empty() || !out.empty()) out.push_back(last);
  return out;
}

std::string message_text(std::string_view text, size_t limit) {
  std::string clean;
  clean.reserve(std::min(text.size(), limit));
  for (char ch : text) {
    auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 && ch != '\n' && ch != '\t') continue;
    if (byte == 0x7F) continue;
    clean += ch;
  }
  clean = std::string(base::strip(clean));
  if (clean.size() <= limit) return base::to_valid_utf8(clean);
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(clean[cut]) & 0xC0) == 0x80) --cut;
  return base::to_valid_utf8(clean.substr(0, cut)) + "...";
}

void append_json_rows(const Json& data, size_t width, size_t max_rows,
                      const std::function<Json(size_t, const Json&)>& convert, std::string_view service,
                      std::vector<sql::Row>& rows, bool& truncated) {
  if (!data.is_array()) return;
  for (const auto& values : data) {
    if (max_rows > 0 && rows.size() >= max_rows) {
      truncated = true;
      return;
    }
    if (!values.is_array() || values.size() != width) {
      throw base::DatabaseError(std::string(service) + " sent a row that does not match the result's columns");
    }
    sql::Row row;
    row.reserve(width);
    for (size_t idx = 0; idx < width; ++idx) row.push_back(convert(idx, values[idx]));
    rows.push_back(std::move(row));
  }
}

base::HttpResponse exchange(std::string_view service, const base::HttpRequest& request,
                            const base::Redactor& redactor) {
  const std::string name(service);
  auto shown = [&redactor](const std::exception& error) { return redactor.redact(message_text(error.what())); };
  try {
    return base::http_request(request);
  } catch (const base::TimeoutError&) {
    throw base::DatabaseError(name + " did not answer within " + base::seconds_text(request.timeout_seconds) +
                              " seconds");
  } catch (const base::ConnectError& error) {
    throw sql::DisconnectionError("Could not connect to " + name + ": " + shown(error));
  } catch (const base::TransportError& error) {
    throw sql::DisconnectionError("The exchange with " + name + " failed: " + shown(error));
  } catch (const base::ValueError& error) {
    throw base::DatabaseError("Invalid " + name + " address: " + shown(error));
  }
}

sql::ExecuteOptions inspection_options(const sql::ExecuteOptions& caller) {
  sql::ExecuteOptions options = caller;
  options.max_rows = 0;
  if (options.timeout.count() == 0) options.timeout = INSPECTION_TIMEOUT;
  return options;
}

std::vector<std::string> first_column_texts(const sql::Result& result) {
  std::vector<std::string> values;
  if (!result.returns_rows()) return values;
  for (const auto& row : result.fetchall()) {
    if (!row.empty() && row[0].is_string()) values.push_back(row[0].get<std::string>());
  }
  return values;
}

sql::Result ReadOnlyHttpConnection::execute(std::string_view sql, const sql::ExecuteOptions& options) {
  std::string statement = single_statement(sql);
  ensure_read_only(statement);
  return run_read(statement, options);
}

}  // namespace velko::platform::sql_remote
