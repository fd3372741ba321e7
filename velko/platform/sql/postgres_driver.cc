// The PostgreSQL driver, over libpq.
//
// Each connection stays in libpq's pipeline mode. A statement is sent as one pipeline:
// "BEGIN READ ONLY", the statement itself through the extended query protocol (which
// refuses text holding several statements), "ROLLBACK", then a sync; so a statement is
// its own read-only transaction, rolled back in the same round trip, and a connection
// waits in the pool outside any transaction (holding no locks). Rows arrive in
// single-row mode and stop being kept at ExecuteOptions::max_rows; past it the server is
// asked to cancel the statement and the rest is discarded as it arrives.
//
// A connection left in any other state (a statement that failed or was cancelled leaves
// the transaction aborted) gets a leading "ROLLBACK" in its next pipeline; release sends
// one ahead, without waiting for the answer. The pre-ping at checkout reads whatever the
// server sent since (such an answer, a terminated backend's FATAL notice, the end of the
// stream) without blocking, and fails when the connection is gone. An answer still on
// its way is read in front of the next statement's results, in the same round trip: if
// it shows the connection lost, the statement throws DisconnectionError and the engine
// replaces the pooled connection and sends the statement again.
#include <libpq-fe.h>
#include <poll.h>

#include <cctype>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/platform/sql/driver.h"
#include "velko/platform/sql/postgres_values.h"

namespace velko::platform::sql {
namespace {

constexpr const char* kQueryCanceled = "57014";
constexpr const char* kSessionOptions =
    "-c DateStyle=ISO,MDY -c IntervalStyle=postgres -c bytea_output=hex -c extra_float_digits=1";

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;

std::string trimmed(const char* text) {
  if (text == nullptr) return {};
  return std::string(base::strip(text));
}

// The database's message: the primary text, then DETAIL and HINT lines when present.
std::string result_error(const PGresult* result) {
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  if (primary == nullptr) {
    std::string message = trimmed(PQresultErrorMessage(result));
    for (const char* prefix : {"ERROR:  ", "FATAL:  "}) {
      if (message.starts_with(prefix)) message.erase(0, std::string_view(prefix).size());
    }
    return message.empty() ? "the database reported an error without a message" : message;
  }
  std::string message = primary;
  if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL)) message += "\nDETAIL:  " + std::string(detail);
  if (const char* hint = PQresultErrorField(result, PG_DIAG_MESSAGE_HINT)) message += "\nHINT:  " + std::string(hint);
  return message;
}

bool is_sqlstate(const PGresult* result, const char* state) {
  const char* code = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  return code != nullptr && std::string_view(code) == state;
}

// format_type() text to the engine layer's type names: upper case, "VARCHAR(n)" and
// "CHAR(n)" for the character types, "NUMERIC(p, s)".
std::string type_text(std::string_view formatted, bool builtin) {
  if (!builtin) return std::string(formatted);
  std::string upper(formatted);
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  upper = base::replace_all(upper, "CHARACTER VARYING", "VARCHAR");
  upper = base::replace_all(upper, "CHARACTER", "CHAR");
  std::string out;
  for (size_t idx = 0; idx < upper.size(); ++idx) {
    out += upper[idx];
    if (upper[idx] == ',' && (idx + 1 == upper.size() || upper[idx + 1] != ' ')) out += ' ';
  }
  return out;
}

void ignore_notice(void*, const PGresult*) {}

class PostgresConnection : public DriverConnection {
 public:
  explicit PostgresConnection(PGconn* conn) : conn_(conn) {
    PQsetNoticeReceiver(conn_, &ignore_notice, nullptr);
  }
  ~PostgresConnection() override { PQfinish(conn_); }
  PostgresConnection(const PostgresConnection&) = delete;
  PostgresConnection& operator=(const PostgresConnection&) = delete;

  bool enter_pipeline() { return PQenterPipelineMode(conn_) == 1; }

  bool ping() override {
    if (broken_ || !alive()) return false;
    for (int attempt = 0; attempt < 4 && readable(0); ++attempt) {
      if (PQconsumeInput(conn_) == 0) break;
    }
    if (!alive()) return false;
    // Take the previous release's answers that are complete; never wait for the rest.
    int empty_in_a_row = 0;
    while (pending_syncs_ > 0 && PQisBusy(conn_) == 0) {
      ResultPtr result(PQgetResult(conn_));
      if (!result) {
        if (++empty_in_a_row > 2) break;
        continue;
      }
      empty_in_a_row = 0;
      ExecStatusType status = PQresultStatus(result.get());
      if (status == PGRES_PIPELINE_SYNC) {
        --pending_syncs_;
        rollback_pending_ = pending_syncs_ > 0 && rollback_pending_;
      } else if (status == PGRES_FATAL_ERROR) {
        broken_ = true;  // the ROLLBACK failed: the session's state is unknown
        return false;
      }
    }
    return alive();
  }

  Result execute(std::string_view sql, const ExecuteOptions& options) override {
    return run(std::string(sql), {}, options);
  }

  std::vector<std::string> list_schemas() override {
    return first_column(run(
        "SELECT nspname FROM pg_catalog.pg_namespace WHERE nspname NOT LIKE 'pg\\_%' ORDER BY nspname", {}, {}));
  }

  std::vector<std::string> list_tables(const std::string& schema) override {
    return first_column(run(
        "SELECT c.relname FROM pg_catalog.pg_class c "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "WHERE n.nspname = $1 AND c.relkind IN ('r', 'p', 'v', 'm', 'f') ORDER BY c.relname",
        {schema}, {}));
  }

  std::vector<ColumnInfo> get_columns(const std::string& schema, const std::string& table) override {
    Result result = run(
        "SELECT a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), NOT a.attnotnull, "
        "t.typnamespace = 'pg_catalog'::regnamespace "
        "FROM pg_catalog.pg_class c "
        "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
        "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
        "LEFT JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
        "WHERE n.nspname = $1 AND c.relname = $2 AND c.relkind IN ('r', 'p', 'v', 'm', 'f') "
        "ORDER BY a.attnum",
        {schema, table}, {});
    const auto& rows = result.fetchall();
    if (rows.empty()) throw base::DatabaseError("Table '" + schema + "." + table + "' not found");
    std::vector<ColumnInfo> columns;
    for (const auto& row : rows) {
      if (row[0].is_null()) continue;  // a table without columns
      columns.push_back(ColumnInfo{row[0].get<std::string>(),
                                   type_text(row[1].get<std::string>(), row[3].is_boolean() && row[3].get<bool>()),
                                   row[2].get<bool>()});
    }
    return columns;
  }

  bool reset() override {
    if (broken_ || !alive()) return false;
    if (pending_syncs_ == 0 && PQtransactionStatus(conn_) == PQTRANS_IDLE) return true;
    // Sent now, answered while the connection waits in the pool.
    if (PQsendQueryParams(conn_, "ROLLBACK", 0, nullptr, nullptr, nullptr, nullptr, 0) == 0 ||
        PQpipelineSync(conn_) == 0) {
      return false;
    }
    ++pending_syncs_;
    rollback_pending_ = true;
    return true;
  }

 private:
  bool alive() const { return PQstatus(conn_) == CONNECTION_OK; }

  [[noreturn]] void lost() {
    broken_ = true;
    std::string message = trimmed(PQerrorMessage(conn_));
    throw DisconnectionError(message.empty() ? "the connection to the database was lost" : message);
  }

  bool readable(int timeout_ms) {
    pollfd descriptor{PQsocket(conn_), POLLIN, 0};
    if (descriptor.fd < 0) return false;
    return ::poll(&descriptor, 1, timeout_ms) > 0;
  }

  // The next result, or nullptr at the end of the current statement's results.
  ResultPtr next_result() {
    ResultPtr result(PQgetResult(conn_));
    if (!result && !alive()) lost();
    return result;
  }

  // Reads results up to and including the pipeline's sync.
  void finish_pipeline() {
    int empty_in_a_row = 0;
    while (true) {
      ResultPtr result = next_result();
      if (!result) {
        if (++empty_in_a_row > 2) lost();
        continue;
      }
      empty_in_a_row = 0;
      if (PQresultStatus(result.get()) == PGRES_PIPELINE_SYNC) {
        --pending_syncs_;
        return;
      }
    }
  }

  void cancel_statement() {
    PGcancel* cancel = PQgetCancel(conn_);
    if (cancel == nullptr) return;
    char error[256];
    PQcancel(cancel, error, sizeof error);
    PQfreeCancel(cancel);
  }

  Result run(const std::string& sql, const std::vector<std::string>& params, const ExecuteOptions& options) {
    if (broken_ || !alive()) lost();
    // Anything but a connection known to be idle (answers still owed, a transaction left
    // open or aborted) is rolled back first, in the same pipeline.
    const bool settle = pending_syncs_ > 0 || PQtransactionStatus(conn_) != PQTRANS_IDLE;
    std::vector<const char*> values;
    for (const auto& param : params) values.push_back(param.c_str());
    if ((settle && !send_command("ROLLBACK")) || !send_command("BEGIN READ ONLY") ||
        PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                          values.empty() ? nullptr : values.data(), nullptr, nullptr, 0) == 0 ||
        !send_command("ROLLBACK") || PQpipelineSync(conn_) == 0) {
      lost();
    }
    ++pending_syncs_;
    std::optional<std::string> error;
    Result result;
    try {
      result = read_results(settle, options, error);
    } catch (...) {
      broken_ = true;  // results may be left unread: never pool this connection again
      throw;
    }
    if (error) throw base::DatabaseError(*error);
    return result;
  }

  bool send_command(const char* command) {
    return PQsendQueryParams(conn_, command, 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
  }

  // Reads the answers of the pipeline run() sent (and, first, those still owed to an
  // earlier one). The database's error, if any, goes to `error`; throws only when the
  // connection cannot be used any more.
  Result read_results(bool settle, const ExecuteOptions& options, std::optional<std::string>& error) {
    while (pending_syncs_ > 1) finish_pipeline();
    rollback_pending_ = false;
    if (settle) {
      while (next_result()) {  // the leading ROLLBACK: a warning at most
      }
    }

    bool begin_failed = false;
    {
      ResultPtr result = next_result();
      if (result && PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
        error = result_error(result.get());
        begin_failed = true;
      }
      while (next_result()) {
      }
    }

    std::vector<std::string> keys;
    std::vector<PgOid> types;
    std::vector<Row> rows;
    bool returns_rows = false;
    bool truncated = false;
    bool cancelled = false;
    auto describe = [&](const PGresult* result) {
      if (returns_rows) return;
      returns_rows = true;
      int columns = PQnfields(result);
      for (int column = 0; column < columns; ++column) {
        keys.emplace_back(PQfname(result, column));
        types.push_back(PQftype(result, column));
      }
    };

    auto keep_rows = [&](const PGresult* result) {
      const int count = PQntuples(result);
      for (int index = 0; index < count; ++index) {
        if (options.max_rows != 0 && rows.size() >= options.max_rows) {
          truncated = true;
          return;
        }
        Row row;
        row.reserve(types.size());
        for (int column = 0; column < static_cast<int>(types.size()); ++column) {
          if (PQgetisnull(result, index, column)) {
            row.emplace_back(nullptr);
          } else {
            row.push_back(pg_value(types[column], std::string_view(PQgetvalue(result, index, column),
                                                                   PQgetlength(result, index, column))));
          }
        }
        rows.push_back(std::move(row));
      }
    };

    // A statement that may return any number of rows is read one row at a time, so no
    // more than max_rows are ever held.
    const bool row_at_a_time = !(options.rows_bounded && options.max_rows != 0);
    if (!begin_failed && row_at_a_time) PQsetSingleRowMode(conn_);
    while (ResultPtr result = next_result()) {
      switch (PQresultStatus(result.get())) {
        case PGRES_SINGLE_TUPLE:
          describe(result.get());
          keep_rows(result.get());
          if (truncated && !cancelled) {
            cancel_statement();
            cancelled = true;
          }
          break;
        case PGRES_TUPLES_OK:
          describe(result.get());
          keep_rows(result.get());  // rows when not read one at a time
          break;
        case PGRES_COMMAND_OK:
          break;
        case PGRES_EMPTY_QUERY:
          error = "can't execute an empty query";
          break;
        case PGRES_FATAL_ERROR:
        case PGRES_NONFATAL_ERROR:
          if (!(cancelled && is_sqlstate(result.get(), kQueryCanceled)) && !error) {
            error = result_error(result.get());
          }
          break;
        case PGRES_PIPELINE_ABORTED:
          break;
        case PGRES_COPY_OUT:
        case PGRES_COPY_IN:
        case PGRES_COPY_BOTH:
          // COPY cannot be driven inside a pipeline; the connection is not reused.
          broken_ = true;
          throw base::DatabaseError("COPY to or from the client is not supported");
        default:
          if (!error) error = result_error(result.get());
          break;
      }
    }
    finish_pipeline();  // the closing ROLLBACK and the sync
    if (!alive()) lost();
    if (error || !returns_rows) return Result();
    return Result(std::move(keys), std::move(rows), truncated);
  }

  static std::vector<std::string> first_column(const Result& result) {
    std::vector<std::string> names;
    for (const auto& row : result.fetchall()) names.push_back(row[0].get<std::string>());
    return names;
  }

  PGconn* conn_;
  int pending_syncs_ = 0;          // pipeline syncs sent whose results were not read yet
  bool rollback_pending_ = false;  // the last pipeline sent is a ROLLBACK
  bool broken_ = false;
};

class PostgresDriver : public Driver {
 public:
  std::unique_ptr<DriverConnection> connect(const Url& url) override {
    std::vector<std::pair<std::string, std::string>> params;
    if (url.host) params.emplace_back("host", *url.host);
    if (url.port) params.emplace_back("port", std::to_string(*url.port));
    if (url.username) params.emplace_back("user", *url.username);
    if (url.password) params.emplace_back("password", *url.password);
    if (url.database) params.emplace_back("dbname", *url.database);
    params.emplace_back("application_name", "velko");
    params.emplace_back("connect_timeout", "10");
    std::string session_options = kSessionOptions;
    for (const auto& [key, value] : url.query) {
      if (key == "options") {
        session_options += " " + value;
      } else if (key != "client_encoding") {
        params.emplace_back(key, value);
      }
    }
    params.emplace_back("options", session_options);
    params.emplace_back("client_encoding", "UTF8");

    std::vector<const char*> keywords;
    std::vector<const char*> values;
    for (const auto& [key, value] : params) {
      keywords.push_back(key.c_str());
      values.push_back(value.c_str());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(keywords.data(), values.data(), 0);
    if (conn == nullptr) throw base::DatabaseError("could not allocate a PostgreSQL connection");
    if (PQstatus(conn) != CONNECTION_OK) {
      std::string message = trimmed(PQerrorMessage(conn));
      PQfinish(conn);
      throw base::DatabaseError(message.empty() ? "could not connect to the PostgreSQL server" : message);
    }
    // A SQL_ASCII database stores bytes in no particular encoding, which the server
    // refuses to send as UTF8: take them as they are (the JSON text replaces invalid
    // UTF-8 later).
    const char* server_encoding = PQparameterStatus(conn, "server_encoding");
    if (server_encoding != nullptr && std::string_view(server_encoding) == "SQL_ASCII" &&
        PQsetClientEncoding(conn, "SQL_ASCII") != 0) {
      std::string message = trimmed(PQerrorMessage(conn));
      PQfinish(conn);
      throw base::DatabaseError(message);
    }
    auto connection = std::make_unique<PostgresConnection>(conn);
    if (!connection->enter_pipeline()) throw base::DatabaseError("could not enter libpq's pipeline mode");
    return connection;
  }
};

}  // namespace

std::shared_ptr<Driver> make_postgres_driver() { return std::make_shared<PostgresDriver>(); }

}  // namespace velko::platform::sql
