// What a statement returns, and what inspection reports about a column.
//
// Values keep their kind: integers, floats, booleans, text and NULL are JSON numbers,
// booleans, strings and null; numeric/decimal, dates, times, timestamps, intervals,
// UUIDs and bytes are strings of their text form; json/jsonb are JSON; arrays are arrays.
// Plain values: copyable, no shared state.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "velko/base/cancel.h"
#include "velko/base/json.h"

namespace velko::platform::sql {

using Row = std::vector<Json>;

class Result {
 public:
  // A statement that returns no rows (SET, COMMIT, ...).
  Result() = default;
  // A statement that returns rows. `truncated` is true when the statement produced more
  // rows than were kept (see ExecuteOptions::max_rows).
  Result(std::vector<std::string> keys, std::vector<Row> rows, bool truncated = false)
      : keys_(std::move(keys)), rows_(std::move(rows)), returns_rows_(true), truncated_(truncated) {}

  // The column names in column order; empty for a statement that returns no rows.
  const std::vector<std::string>& keys() const { return keys_; }
  bool returns_rows() const { return returns_rows_; }
  bool truncated() const { return truncated_; }

  // The rows. Throws RuntimeError "This result object does not return rows. It has been
  // closed automatically." for a statement that returns none.
  const std::vector<Row>& fetchall() const;
  // Moves the rows out (same error as fetchall).
  std::vector<Row> take_rows();

 private:
  std::vector<std::string> keys_;
  std::vector<Row> rows_;
  bool returns_rows_ = false;
  bool truncated_ = false;
};

// One column of a table or view as inspection reports it.
struct ColumnInfo {
  std::string name;
  std::string type;  // the type's text, such as "INTEGER", "VARCHAR(120)", "NUMERIC(12, 2)"
  bool nullable = true;
};

// Options of one statement.
struct ExecuteOptions {
  // Keep at most this many rows; 0 keeps all. Rows beyond it are never held: the driver
  // stops fetching (or asks the server to stop) and sets Result::truncated().
  size_t max_rows = 0;
  // The caller knows the statement returns at most max_rows rows (its own outermost
  // LIMIT says so): a driver may then fetch the rows in one piece instead of one at a
  // time. Rows beyond max_rows are still dropped if they come.
  bool rows_bounded = false;
  // Text values longer than this many bytes are cut while they are read (see
  // value_bounds.h: cut_long_text), so a row of huge values costs one value at a time,
  // not the whole result; 0 keeps values whole. Drivers whose transport hands them the
  // whole answer at once cut it after reading.
  size_t max_value_bytes = 0;
  // The statement's time limit; zero for none. At the limit the driver stops the
  // statement on the server (not only abandons it) and throws base::TimeoutError whose
  // text holds "timed out after N seconds" (timeout_text() of statement_watch.h); the
  // connection stays usable or reports itself broken at reset().
  std::chrono::milliseconds timeout{0};
  // Set by the caller to stop the statement early: the driver stops it on the server and
  // throws base::CancelledError ("cancelled"). Null when the call cannot be cancelled.
  // A signal that fired before the call makes it throw before anything is sent.
  base::CancelSignalPtr cancel = nullptr;
};

}  // namespace velko::platform::sql
