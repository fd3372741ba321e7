#include "velko/platform/sql_remote/duckdb_driver.h"

#include "velko/base/errors.h"

#ifdef VELKO_HAVE_DUCKDB

#include <duckdb.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "velko/base/redact.h"
#include "velko/base/strings.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql_remote/duckdb_values.h"
#include "velko/platform/sql_remote/remote_common.h"
#include "velko/platform/sql_remote/statement_control.h"
#include "velko/platform/sql_remote/statement_text.h"

namespace velko::platform::sql_remote {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRefused = "Only statements that read data can be run on DuckDB (SELECT, or EXPLAIN of a SELECT)";
constexpr size_t kMostViews = 1000;

std::string quote_literal(std::string_view text) { return "'" + base::replace_all(text, "'", "''") + "'"; }
std::string quote_identifier(std::string_view text) { return "\"" + base::replace_all(text, "\"", "\"\"") + "\""; }

// The statement EXPLAIN [ANALYZE] [(options)] explains, or nullopt when `sql` does not
// start that way. Comments and white space before the words are skipped.
std::optional<std::string_view> explained_statement(std::string_view sql) {
  size_t pos = 0;
  auto skip_space = [&] {
    while (pos < sql.size()) {
      if (std::isspace(static_cast<unsigned char>(sql[pos]))) {
        ++pos;
      } else if (sql.substr(pos, 2) == "--") {
        size_t end = sql.find('\n', pos);
        pos = end == std::string_view::npos ? sql.size() : end + 1;
      } else if (sql.substr(pos, 2) == "/*") {
        size_t end = sql.find("*/", pos + 2);
        pos = end == std::string_view::npos ? sql.size() : end + 2;
      } else {
        break;
      }
    }
  };
  auto word = [&] {
    skip_space();
    size_t start = pos;
    while (pos < sql.size() && (std::isalpha(static_cast<unsigned char>(sql[pos])) || sql[pos] == '_')) ++pos;
    return base::ascii_lower(sql.substr(start, pos - start));
  };
  if (word() != "explain") return std::nullopt;
  size_t after_explain = pos;
  std::string next = word();
  if (next != "analyze" && next != "analyse") pos = after_explain;
  skip_space();
  if (pos < sql.size() && sql[pos] == '(') {
    char quote = 0;
    for (++pos; pos < sql.size(); ++pos) {
      if (quote != 0) {
        if (sql[pos] == quote) quote = 0;
      } else if (sql[pos] == '\'' || sql[pos] == '"') {
        quote = sql[pos];
      } else if (sql[pos] == ')') {
        ++pos;
        break;
      }
    }
  }
  return sql.substr(pos);
}

class Prepared {
 public:
  Prepared() = default;
  ~Prepared() {
    if (statement_ != nullptr) duckdb_destroy_prepare(&statement_);
  }
  Prepared(const Prepared&) = delete;
  Prepared& operator=(const Prepared&) = delete;
  duckdb_prepared_statement* out() { return &statement_; }
  duckdb_prepared_statement get() const { return statement_; }

 private:
  duckdb_prepared_statement statement_ = nullptr;
};

class Extracted {
 public:
  ~Extracted() {
    if (statements_ != nullptr) duckdb_destroy_extracted(&statements_);
  }
  duckdb_extracted_statements* out() { return &statements_; }
  duckdb_extracted_statements get() const { return statements_; }

 private:
  duckdb_extracted_statements statements_ = nullptr;
};

class ResultHandle {
 public:
  ~ResultHandle() {
    if (owned_) duckdb_destroy_result(&result_);
  }
  duckdb_result* out() {
    owned_ = true;
    return &result_;
  }
  duckdb_result* get() { return &result_; }

 private:
  duckdb_result result_{};
  bool owned_ = false;
};

// Interrupts the connection's running statement at the time limit or on cancellation.
class Interrupter {
 public:
  Interrupter(duckdb_connection connection, const sql::ExecuteOptions& options)
      : connection_(connection), control_text_(StatementControl(options).timeout_text()) {
    if (options.timeout.count() > 0) {
      watcher_ = std::thread([this, timeout = options.timeout] {
        std::unique_lock<std::mutex> lock(mu_);
        if (!done_cv_.wait_for(lock, timeout, [this] { return done_; })) {
          timed_out_ = true;
          duckdb_interrupt(connection_);
        }
      });
    }
    subscription_ = base::on_cancel(options.cancel, [this] {
      cancelled_ = true;
      duckdb_interrupt(connection_);
    });
  }
  ~Interrupter() { finish(); }
  Interrupter(const Interrupter&) = delete;
  Interrupter& operator=(const Interrupter&) = delete;

  // Stops watching; throws CancelledError or TimeoutError when the statement was stopped.
  void throw_if_stopped() {
    finish();
    if (cancelled_) throw base::CancelledError();
    if (timed_out_) throw base::TimeoutError("The query " + control_text_ + " and was interrupted");
  }

 private:
  void finish() {
    subscription_.reset();
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    done_cv_.notify_all();
    if (watcher_.joinable()) watcher_.join();
  }

  duckdb_connection connection_;
  std::string control_text_;
  std::mutex mu_;
  std::condition_variable done_cv_;
  bool done_ = false;  // guarded by mu_
  std::atomic<bool> timed_out_{false};
  std::atomic<bool> cancelled_{false};
  std::thread watcher_;
  base::CancelSignal::Subscription subscription_;
};

enum class Mode { kFile, kFolder, kMotherduck };

class DuckdbConnection : public sql::DriverConnection {
 public:
  DuckdbConnection(Mode mode, std::string path, std::string token) : mode_(mode), token_(std::move(token)) {
    open(path);
  }
  ~DuckdbConnection() override {
    if (connection_ != nullptr) duckdb_disconnect(&connection_);
    if (database_ != nullptr) duckdb_close(&database_);
  }

  bool ping() override {
    try {
      run_internal("SELECT 1");
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }
  bool reset() override { return true; }

  sql::Result execute(std::string_view sql, const sql::ExecuteOptions& options) override {
    base::throw_if_cancelled(options.cancel);
    Prepared prepared;
    prepare_reading(sql, prepared);
    return collect(prepared, options);
  }

  std::vector<std::string> list_schemas(const sql::ExecuteOptions& options) override {
    return first_column_texts(
        query("SELECT schema_name FROM information_schema.schemata WHERE catalog_name = current_database() "
              "AND schema_name NOT IN ('information_schema', 'pg_catalog') ORDER BY schema_name",
              {}, options));
  }

  std::vector<std::string> list_tables(const std::string& schema, const sql::ExecuteOptions& options) override {
    return first_column_texts(
        query("SELECT table_name FROM information_schema.tables WHERE table_catalog = current_database() "
              "AND table_schema = ? ORDER BY table_name",
              {schema}, options));
  }

  std::vector<sql::ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                           const sql::ExecuteOptions& options) override {
    sql::Result result = query(
        "SELECT column_name, data_type, is_nullable FROM information_schema.columns "
        "WHERE table_catalog = current_database() AND table_schema = ? AND table_name = ? ORDER BY ordinal_position",
        {schema, table}, options);
    std::vector<sql::ColumnInfo> columns;
    for (const auto& row : result.fetchall()) {
      if (row.size() < 3 || !row[0].is_string() || !row[1].is_string()) continue;
      columns.push_back({row[0].get<std::string>(), row[1].get<std::string>(),
                         row[2].is_string() && row[2].get<std::string>() == "YES"});
    }
    if (columns.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    return columns;
  }

 private:
  std::string scrub(std::string text) const {
    base::Redactor redactor;
    redactor.add_secret(token_);
    return message_text(redactor.redact(text));
  }

  void open(const std::string& path) {
    duckdb_config config = nullptr;
    if (duckdb_create_config(&config) == DuckDBError) throw base::DatabaseError("DuckDB could not be configured");
    bool motherduck = mode_ == Mode::kMotherduck;
    std::vector<std::pair<const char*, std::string>> settings = {
        {"autoinstall_known_extensions", motherduck ? "true" : "false"},
        {"autoload_known_extensions", motherduck ? "true" : "false"},
        {"allow_community_extensions", "false"},
        {"allow_unsigned_extensions", "false"},
    };
    if (mode_ == Mode::kFile) settings.emplace_back("access_mode", "READ_ONLY");
    std::string open_path = mode_ == Mode::kFolder ? std::string() : path;
    if (motherduck) {
      if (duckdb_set_config(config, "motherduck_token", token_.c_str()) == DuckDBError) {
        open_path += (open_path.find('?') == std::string::npos ? "?" : "&") + std::string("motherduck_token=") +
                     db_utils::encode_query_value(token_);
      }
    }
    for (const auto& [name, value] : settings) {
      if (duckdb_set_config(config, name, value.c_str()) == DuckDBError) {
        duckdb_destroy_config(&config);
        throw base::DatabaseError(std::string("DuckDB refused the setting ") + name);
      }
    }
    char* error = nullptr;
    duckdb_state state = duckdb_open_ext(open_path.empty() ? nullptr : open_path.c_str(), &database_, config, &error);
    duckdb_destroy_config(&config);
    if (state == DuckDBError) {
      std::string message = error != nullptr ? error : "unknown error";
      if (error != nullptr) duckdb_free(error);
      database_ = nullptr;
      if (motherduck) {
        throw base::DatabaseError(
            "Could not open MotherDuck: the MotherDuck extension could not be installed or loaded (DuckDB fetches it "
            "from its extension repository on first use, which needs network access): " +
            scrub(message));
      }
      throw base::DatabaseError("Could not open the DuckDB database: " + scrub(message));
    }
    if (duckdb_connect(database_, &connection_) == DuckDBError) {
      throw base::DatabaseError("Could not connect to the DuckDB database");
    }
    if (mode_ != Mode::kMotherduck) {
      fs::path folder = mode_ == Mode::kFolder ? fs::path(path) : fs::path(path).parent_path();
      std::string allowed = folder.lexically_normal().string();
      if (!allowed.ends_with('/')) allowed += '/';
      run_internal("SET allowed_directories = [" + quote_literal(allowed) + "]");
      if (mode_ == Mode::kFolder) create_views(folder);
    } else {
      run_internal("SET autoinstall_known_extensions = false");
      run_internal("SET autoload_known_extensions = false");
    }
    run_internal("SET enable_external_access = false");
    run_internal("SET lock_configuration = true");
  }

  void create_views(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      std::error_code status_error;
      fs::file_status status = it->symlink_status(status_error);
      if (status_error || status.type() != fs::file_type::regular) continue;  // links are left out
      std::string extension = base::ascii_lower(it->path().extension().string());
      if (extension == ".parquet" || extension == ".csv" || extension == ".json") files.push_back(it->path());
      if (files.size() >= kMostViews) break;
    }
    if (error) throw base::DatabaseError("Could not list the folder: " + error.message());
    std::sort(files.begin(), files.end());
    std::vector<std::string> names;
    for (const auto& file : files) {
      std::string name = file.stem().string();
      if (name.empty() || std::find(names.begin(), names.end(), base::ascii_lower(name)) != names.end()) continue;
      std::string extension = base::ascii_lower(file.extension().string());
      std::string reader = extension == ".parquet" ? "read_parquet" : extension == ".csv" ? "read_csv" : "read_json";
      try {
        run_internal("CREATE VIEW " + quote_identifier(name) + " AS SELECT * FROM " + reader + "(" +
                     quote_literal(file.string()) + ")");
        names.push_back(base::ascii_lower(name));
      } catch (const base::DatabaseError&) {
        // A file DuckDB cannot read is left out; the others stay usable.
      }
    }
  }

  // Runs one of the driver's own statements; throws DatabaseError with DuckDB's message.
  void run_internal(const std::string& sql) {
    ResultHandle result;
    if (duckdb_query(connection_, sql.c_str(), result.out()) == DuckDBError) {
      throw base::DatabaseError(scrub(duckdb_result_error(result.get())));
    }
  }

  // Prepares `sql` after checking that it is exactly one statement that reads.
  void prepare_reading(std::string_view sql, Prepared& prepared) {
    // Preparing binds the statement, and binding some (EXPORT DATABASE) already touches
    // files: the text must name a reading statement before DuckDB sees it.
    try {
      ensure_read_only(single_statement(sql));
    } catch (const base::DatabaseError& error) {
      if (std::string_view(error.what()) == ONE_STATEMENT_ONLY || std::string_view(error.what()) == EMPTY_STATEMENT) {
        throw;
      }
      throw base::DatabaseError(kRefused);
    }
    std::string text(sql);
    Extracted extracted;
    idx_t count = duckdb_extract_statements(connection_, text.c_str(), extracted.out());
    if (count == 0) {
      const char* error = duckdb_extract_statements_error(extracted.get());
      if (error != nullptr && *error != '\0') throw base::DatabaseError(scrub(error));
      throw base::DatabaseError(EMPTY_STATEMENT);
    }
    if (count > 1) throw base::DatabaseError(ONE_STATEMENT_ONLY);
    if (duckdb_prepare_extracted_statement(connection_, extracted.get(), 0, prepared.out()) == DuckDBError) {
      throw base::DatabaseError(scrub(duckdb_prepare_error(prepared.get())));
    }
    duckdb_statement_type type = duckdb_prepared_statement_type(prepared.get());
    if (type == DUCKDB_STATEMENT_TYPE_SELECT) return;
    if (type == DUCKDB_STATEMENT_TYPE_EXPLAIN) {
      std::optional<std::string_view> inner = explained_statement(text);
      if (inner) {
        Prepared explained;
        try {
          prepare_reading(*inner, explained);
          return;
        } catch (const base::DatabaseError&) {
        }
      }
    }
    throw base::DatabaseError(kRefused);
  }

  sql::Result query(const std::string& sql, const std::vector<std::string>& values, const sql::ExecuteOptions& caller) {
    Prepared prepared;
    if (duckdb_prepare(connection_, sql.c_str(), prepared.out()) == DuckDBError) {
      throw base::DatabaseError(scrub(duckdb_prepare_error(prepared.get())));
    }
    for (size_t idx = 0; idx < values.size(); ++idx) {
      if (duckdb_bind_varchar_length(prepared.get(), idx + 1, values[idx].data(), values[idx].size()) == DuckDBError) {
        throw base::DatabaseError("Could not bind an inspection parameter");
      }
    }
    return collect(prepared, inspection_options(caller));
  }

  sql::Result collect(Prepared& prepared, const sql::ExecuteOptions& options) {
    Interrupter interrupter(connection_, options);
    duckdb_pending_result pending = nullptr;
    if (duckdb_pending_prepared_streaming(prepared.get(), &pending) == DuckDBError) {
      std::string message = pending != nullptr ? scrub(duckdb_pending_error(pending)) : "DuckDB could not start it";
      if (pending != nullptr) duckdb_destroy_pending(&pending);
      throw base::DatabaseError(message);
    }
    ResultHandle result;
    duckdb_state state = duckdb_execute_pending(pending, result.out());
    duckdb_destroy_pending(&pending);
    if (state == DuckDBError) {
      std::string message = scrub(duckdb_result_error(result.get()));
      interrupter.throw_if_stopped();
      throw base::DatabaseError(message);
    }
    idx_t column_count = duckdb_column_count(result.get());
    std::vector<std::string> keys;
    std::vector<duckdb_logical_type> types;
    for (idx_t column = 0; column < column_count; ++column) {
      const char* name = duckdb_column_name(result.get(), column);
      keys.emplace_back(name != nullptr ? name : "");
      types.push_back(duckdb_column_logical_type(result.get(), column));
    }
    struct TypesGuard {
      std::vector<duckdb_logical_type>& types;
      ~TypesGuard() {
        for (auto& type : types) duckdb_destroy_logical_type(&type);
      }
    } types_guard{types};

    std::vector<sql::Row> rows;
    bool truncated = false;
    const size_t max_rows = options.max_rows;
    while (true) {
      duckdb_data_chunk chunk = duckdb_fetch_chunk(*result.get());
      if (chunk == nullptr) break;
      idx_t size = duckdb_data_chunk_get_size(chunk);
      if (size == 0) {
        duckdb_destroy_data_chunk(&chunk);
        break;
      }
      idx_t take = size;
      if (max_rows > 0 && rows.size() + take > max_rows) {
        take = max_rows - rows.size();
        truncated = true;
      }
      std::vector<duckdb_vector> vectors;
      for (idx_t column = 0; column < column_count; ++column) {
        vectors.push_back(duckdb_data_chunk_get_vector(chunk, column));
      }
      for (idx_t row = 0; row < take; ++row) {
        sql::Row values;
        values.reserve(column_count);
        for (idx_t column = 0; column < column_count; ++column) {
          values.push_back(options.max_value_bytes != 0
                               ? duckdb_shown_value(vectors[column], types[column], row, options.max_value_bytes)
                               : duckdb_vector_value(vectors[column], types[column], row));
        }
        rows.push_back(std::move(values));
      }
      duckdb_destroy_data_chunk(&chunk);
      if (truncated) break;
      if (max_rows > 0 && rows.size() >= max_rows) {
        // One more chunk tells whether rows remain.
        duckdb_data_chunk more = duckdb_fetch_chunk(*result.get());
        if (more != nullptr) {
          truncated = duckdb_data_chunk_get_size(more) > 0;
          duckdb_destroy_data_chunk(&more);
        }
        break;
      }
    }
    std::string late_error;
    if (const char* error = duckdb_result_error(result.get()); error != nullptr && *error != '\0') {
      late_error = scrub(error);
    }
    interrupter.throw_if_stopped();
    if (!late_error.empty()) throw base::DatabaseError(late_error);
    return sql::Result(std::move(keys), std::move(rows), truncated);
  }

  Mode mode_;
  std::string token_;
  duckdb_database database_ = nullptr;
  duckdb_connection connection_ = nullptr;
};

class DuckdbDriver : public sql::Driver {
 public:
  std::unique_ptr<sql::DriverConnection> connect(const sql::Url& url) override {
    std::string database = url.database.value_or("");
    if (database.starts_with("md:") || database.starts_with("motherduck:")) {
      std::string token = url.query_value("motherduck_token").value_or("");
      if (token.empty()) throw base::DatabaseError("The MotherDuck URL holds no token (motherduck_token)");
      return std::make_unique<DuckdbConnection>(Mode::kMotherduck, database, token);
    }
    if (database.empty() || database == ":memory:") {
      throw base::DatabaseError("The DuckDB URL names no database file or folder (duckdb:///PATH)");
    }
    fs::path path = fs::absolute(fs::path(database)).lexically_normal();
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (fs::is_directory(status)) return std::make_unique<DuckdbConnection>(Mode::kFolder, path.string(), "");
    if (fs::is_regular_file(status)) return std::make_unique<DuckdbConnection>(Mode::kFile, path.string(), "");
    throw base::DatabaseError("No DuckDB database file or folder at " + path.string());
  }
};

}  // namespace

bool duckdb_available() { return true; }
const char* duckdb_version() { return duckdb_library_version(); }
std::shared_ptr<sql::Driver> make_duckdb_driver() { return std::make_shared<DuckdbDriver>(); }

}  // namespace velko::platform::sql_remote

#else  // no DuckDB in this build

namespace velko::platform::sql_remote {
namespace {

class UnavailableDuckdbDriver : public sql::Driver {
 public:
  std::unique_ptr<sql::DriverConnection> connect(const sql::Url&) override {
    throw base::DatabaseError(DUCKDB_NOT_IN_BUILD);
  }
};

}  // namespace

bool duckdb_available() { return false; }
const char* duckdb_version() { return ""; }
std::shared_ptr<sql::Driver> make_duckdb_driver() { return std::make_shared<UnavailableDuckdbDriver>(); }

}  // namespace velko::platform::sql_remote

#endif
