// The SQLite driver, over sqlite3.
//
// The database file is opened read-only (SQLITE_OPEN_READONLY, with query_only set and
// an authorizer that refuses ATTACH, DETACH and setting pragmas), so a write fails with
// SQLite's own error. No SQL reaches native pointers or the file system: the FTS3
// tokenizer function is turned off (SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER) and the
// authorizer denies fts3_tokenizer, load_extension and the file functions (readfile,
// writefile, edit, fsdir) wherever they exist; SQLITE_DBCONFIG_DEFENSIVE stays on.
// Statements run inside a transaction that reset() rolls back. A text is prepared once
// and its tail checked, so a second statement is never run. Stepping stops at
// ExecuteOptions::max_rows. At the time limit, or when the caller cancels, the running
// statement is interrupted (sqlite3_interrupt from the watch's thread); the connection
// stays usable.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/platform/sql/driver.h"
#include "velko/platform/sql/statement_watch.h"
#include "velko/platform/sql/text_forms.h"
#include "velko/platform/sql/value_bounds.h"

namespace velko::platform::sql {
namespace {

constexpr int kBusyTimeoutMs = 5000;

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// Functions no read needs that reach native pointers, extensions or files.
bool is_denied_function(const char* name) {
  static const char* const kDenied[] = {"fts3_tokenizer", "load_extension", "readfile",      "writefile",
                                        "edit",           "fsdir",          "sqlite_dbpage", "zipfile"};
  std::string lowered = base::ascii_lower(name == nullptr ? "" : name);
  for (const char* denied : kDenied) {
    if (lowered == denied) return true;
  }
  return false;
}

// Pragmas that only describe the schema may take an argument; no other may be set.
int authorize(void*, int action, const char* first, const char* second, const char*, const char*) {
  switch (action) {
    case SQLITE_ATTACH:
    case SQLITE_DETACH:
      return SQLITE_DENY;
    case SQLITE_FUNCTION:  // `second` is the function's name
      return is_denied_function(second) ? SQLITE_DENY : SQLITE_OK;
    case SQLITE_PRAGMA: {
      if (second == nullptr) return SQLITE_OK;
      static const char* const kDescriptive[] = {"table_info",  "table_xinfo", "table_list",       "index_info",
                                                 "index_xinfo", "index_list",  "foreign_key_list", "database_list"};
      std::string name = base::ascii_lower(first == nullptr ? "" : first);
      for (const char* allowed : kDescriptive) {
        if (name == allowed) return SQLITE_OK;
      }
      return SQLITE_DENY;
    }
    default:
      return SQLITE_OK;
  }
}

class SqliteConnection : public DriverConnection {
 public:
  explicit SqliteConnection(sqlite3* db) : db_(db) {}
  ~SqliteConnection() override { sqlite3_close_v2(db_); }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // No network between us and the file: a pooled connection stays good.
  bool ping() override { return db_ != nullptr; }

  Result execute(std::string_view sql, const ExecuteOptions& options) override { return run(sql, {}, options); }

  std::vector<std::string> list_schemas(const ExecuteOptions& options) override {
    return first_column(
        run("SELECT name FROM pragma_database_list WHERE name <> 'temp' ORDER BY name", {}, limits_of(options)));
  }

  std::vector<std::string> list_tables(const std::string& schema, const ExecuteOptions& options) override {
    return first_column(
        run("SELECT name FROM pragma_table_list WHERE schema = ?1 AND type IN ('table', 'view', 'virtual') "
            "AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name",
            {schema}, limits_of(options)));
  }

  std::vector<ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                      const ExecuteOptions& options) override {
    Result result = run("SELECT name, type, \"notnull\", hidden FROM pragma_table_xinfo(?1, ?2)", {table, schema},
                        limits_of(options));
    std::vector<ColumnInfo> columns;
    for (const auto& row : result.fetchall()) {
      if (row[3].is_number_integer() && row[3].get<int64_t>() == 1) continue;  // a virtual table's hidden column
      std::string type = base::ascii_upper(row[1].is_string() ? row[1].get<std::string>() : "");
      columns.push_back(ColumnInfo{row[0].get<std::string>(), type.empty() ? "NULL" : type,
                                   !(row[2].is_number_integer() && row[2].get<int64_t>() != 0)});
    }
    if (columns.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    return columns;
  }

  bool reset() override {
    if (sqlite3_get_autocommit(db_) != 0) return true;
    return sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  [[noreturn]] void fail() { throw base::DatabaseError(sqlite3_errmsg(db_)); }

  // Only the time limit and the cancel signal of `options` (inspection reads all rows).
  static ExecuteOptions limits_of(const ExecuteOptions& options) {
    ExecuteOptions limits;
    limits.timeout = options.timeout;
    limits.cancel = options.cancel;
    return limits;
  }

  Result run(std::string_view sql, const std::vector<std::string>& params, const ExecuteOptions& options) {
    if (sql.size() > static_cast<size_t>(INT_MAX)) throw base::DatabaseError("string or blob too big");
    base::throw_if_cancelled(options.cancel);
    // Interrupts whatever runs on this connection from here on (preparing included)
    // until the watch is gone; sqlite3_interrupt may be called from another thread.
    StatementWatch watch(options, [this] { sqlite3_interrupt(db_); });
    if (sqlite3_get_autocommit(db_) != 0 && sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
      fail();
    }
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    if (int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &raw, &tail); rc != SQLITE_OK) {
      if (rc == SQLITE_INTERRUPT) watch.throw_if_stopped();
      fail();
    }
    StatementPtr statement(raw);
    if (!statement) throw base::DatabaseError("can't execute an empty query");
    ensure_single_statement(sql, tail);
    for (size_t idx = 0; idx < params.size(); ++idx) {
      sqlite3_bind_text(statement.get(), static_cast<int>(idx + 1), params[idx].data(),
                        static_cast<int>(params[idx].size()), SQLITE_TRANSIENT);
    }

    const int columns = sqlite3_column_count(statement.get());
    std::vector<std::string> keys;
    for (int column = 0; column < columns; ++column) {
      const char* name = sqlite3_column_name(statement.get(), column);
      keys.emplace_back(name == nullptr ? "" : name);
    }
    std::vector<Row> rows;
    bool truncated = false;
    while (true) {
      int rc = sqlite3_step(statement.get());
      if (rc == SQLITE_DONE) break;
      if (rc == SQLITE_INTERRUPT) {
        watch.throw_if_stopped();
        fail();
      }
      if (rc != SQLITE_ROW) fail();
      if (options.max_rows != 0 && rows.size() >= options.max_rows) {
        truncated = true;  // one row past the cap proves there were more; stop stepping
        break;
      }
      rows.push_back(read_row(statement.get(), columns, options.max_value_bytes));
    }
    if (columns == 0) return Result();
    return Result(std::move(keys), std::move(rows), truncated);
  }

  // Everything after the first statement must be white space, comments or ";".
  void ensure_single_statement(std::string_view sql, const char* tail) {
    const char* end = sql.data() + sql.size();
    while (tail != nullptr && tail < end) {
      sqlite3_stmt* raw = nullptr;
      const char* next = nullptr;
      if (sqlite3_prepare_v2(db_, tail, static_cast<int>(end - tail), &raw, &next) != SQLITE_OK) fail();
      StatementPtr extra(raw);
      if (extra) throw base::DatabaseError("You can only execute one statement at a time.");
      if (next == tail) break;
      tail = next;
    }
  }

  static Row read_row(sqlite3_stmt* statement, int columns, size_t max_value_bytes) {
    Row row;
    row.reserve(static_cast<size_t>(columns));
    for (int column = 0; column < columns; ++column) {
      switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
          row.emplace_back(static_cast<int64_t>(sqlite3_column_int64(statement, column)));
          break;
        case SQLITE_FLOAT:
          row.emplace_back(sqlite3_column_double(statement, column));
          break;
        case SQLITE_TEXT: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
          std::string value(text, static_cast<size_t>(sqlite3_column_bytes(statement, column)));
          if (max_value_bytes != 0) cut_long_text(value, max_value_bytes);
          row.emplace_back(std::move(value));
          break;
        }
        case SQLITE_BLOB: {
          const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, column));
          int size = sqlite3_column_bytes(statement, column);
          std::string value = bytes_repr(std::string_view(data == nullptr ? "" : data, static_cast<size_t>(size)));
          if (max_value_bytes != 0) cut_long_text(value, max_value_bytes);
          row.emplace_back(std::move(value));
          break;
        }
        default:
          row.emplace_back(nullptr);
      }
    }
    return row;
  }

  static std::vector<std::string> first_column(const Result& result) {
    std::vector<std::string> names;
    for (const auto& row : result.fetchall()) names.push_back(row[0].get<std::string>());
    return names;
  }

  sqlite3* db_;
};

class SqliteDriver : public Driver {
 public:
  std::unique_ptr<DriverConnection> connect(const Url& url) override {
    std::string path = url.database.value_or(":memory:");
    if (path.empty()) path = ":memory:";
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
      sqlite3_close_v2(db);
      throw base::DatabaseError(message + ": " + path);
    }
    auto connection = std::make_unique<SqliteConnection>(db);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    sqlite3_exec(db, "PRAGMA query_only = ON", nullptr, nullptr, nullptr);
    sqlite3_set_authorizer(db, &authorize, nullptr);
    // Fail here, not at the first statement, when the file is not a database.
    if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_schema", nullptr, nullptr, nullptr) != SQLITE_OK) {
      throw base::DatabaseError(std::string(sqlite3_errmsg(db)) + ": " + path);
    }
    return connection;
  }
};

}  // namespace

std::shared_ptr<Driver> make_sqlite_driver() { return std::make_shared<SqliteDriver>(); }

}  // namespace velko::platform::sql
