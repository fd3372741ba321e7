// The PostgreSQL driver, over libpq.
//
// Each connection stays in libpq's pipeline mode. A statement is sent as one pipeline:
// "BEGIN READ ONLY", "SET LOCAL statement_timeout" (with a time limit), the statement
// itself through the extended query protocol (which refuses text holding several
// statements), a sync, then "ROLLBACK" and "DISCARD ALL" and a second sync; so a
// statement is its own read-only transaction, rolled back in the same round trip, and
// nothing it did to the session (advisory locks, prepared statements, settings,
// temporary tables, LISTEN) outlives the call: a connection waits in the pool outside
// any transaction, as fresh as a new one. (The reset sits behind its own sync because a
// failed statement makes the server skip the rest of its pipeline segment.) Rows arrive
// in single-row mode and stop being kept at ExecuteOptions::max_rows; past it the server
// is asked to cancel the statement and the rest is discarded as it arrives.
//
// Time limits and cancellation: the server stops the statement at its statement_timeout;
// a cancel request (PQcancel) follows a second later if it did not answer, and at once
// when the caller's signal fires. A server that answers neither within five more seconds
// is abandoned: the connection is marked broken and closed. Connecting has a
// connect_timeout of CONNECT_TIMEOUT.
//
// A URL's query may carry only the options users set for themselves: sslmode,
// sslrootcert, sslcert, sslkey, connect_timeout, application_name, options,
// target_session_attrs (client_encoding is ignored). Any other key, host, port, user,
// password, dbname, passfile and service among them, is refused, so a value can never
// point the connection somewhere else.
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

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/platform/sql/driver.h"
#include "velko/platform/sql/postgres_values.h"
#include "velko/platform/sql/statement_watch.h"
#include "velko/platform/sql/value_bounds.h"

namespace velko::platform::sql {
namespace {

constexpr const char* kQueryCanceled = "57014";
// How long after the time limit the cancel request goes out, and how long after that
// (or after the caller's cancel) the server may take to answer before it is abandoned.
constexpr std::chrono::milliseconds kCancelGrace{1000};
constexpr std::chrono::milliseconds kAbandonAfter{5000};
// URL query keys a user may set; any other is refused.
constexpr const char* kAcceptedUrlOptions[] = {"sslmode", "sslrootcert",         "sslcert",
                                               "sslkey",  "connect_timeout",     "application_name",
                                               "options", "target_session_attrs"};
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
  if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL))
    message += "\nDETAIL:  " + std::string(detail);
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
  std::string upper = base::ascii_upper(formatted);
  upper = base::replace_all(upper, "CHARACTER VARYING", "VARCHAR");
  upper = base::replace_all(upper, "CHARACTER", "CHAR");
  std::string out;
  for (size_t idx = 0; idx < upper.size(); ++idx) {
    out += upper[idx];
    if (upper[idx] == ',' && (idx + 1 == upper.size() || upper[idx + 1] != ' ')) out += ' ';
  }
  return out;
}

class PostgresConnection : public DriverConnection {
 public:
  explicit PostgresConnection(PGconn* conn) : conn_(conn), canceller_(PQgetCancel(conn)) {
    PQsetNoticeReceiver(conn_, &on_notice, this);
  }
  ~PostgresConnection() override {
    if (canceller_ != nullptr) PQfreeCancel(canceller_);
    PQfinish(conn_);
  }
  PostgresConnection(const PostgresConnection&) = delete;
  PostgresConnection& operator=(const PostgresConnection&) = delete;

  bool enter_pipeline() { return PQenterPipelineMode(conn_) == 1; }

  bool ping() override {
    if (broken_ || !alive()) return false;
    for (int attempt = 0; attempt < 4 && readable(0); ++attempt) {
      if (PQconsumeInput(conn_) == 0) break;
    }
    if (broken_ || !alive()) return false;
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

  std::vector<std::string> list_schemas(const ExecuteOptions& options) override {
    return first_column(
        run("SELECT nspname FROM pg_catalog.pg_namespace WHERE nspname NOT LIKE 'pg\\_%' ORDER BY nspname", {},
            limits_of(options)));
  }

  std::vector<std::string> list_tables(const std::string& schema, const ExecuteOptions& options) override {
    return first_column(
        run("SELECT c.relname FROM pg_catalog.pg_class c "
            "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
            "WHERE n.nspname = $1 AND c.relkind IN ('r', 'p', 'v', 'm', 'f') ORDER BY c.relname",
            {schema}, limits_of(options)));
  }

  std::vector<ColumnInfo> get_columns(const std::string& schema, const std::string& table,
                                      const ExecuteOptions& options) override {
    Result result =
        run("SELECT a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), NOT a.attnotnull, "
            "t.typnamespace = 'pg_catalog'::regnamespace "
            "FROM pg_catalog.pg_class c "
            "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
            "LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
            "LEFT JOIN pg_catalog.pg_type t ON t.oid = a.atttypid "
            "WHERE n.nspname = $1 AND c.relname = $2 AND c.relkind IN ('r', 'p', 'v', 'm', 'f') "
            "ORDER BY a.attnum",
            {schema, table}, limits_of(options));
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
    if (!send_command("ROLLBACK") || !send_command("DISCARD ALL") || PQpipelineSync(conn_) == 0) return false;
    ++pending_syncs_;
    rollback_pending_ = true;
    return true;
  }

 private:
  bool alive() const { return PQstatus(conn_) == CONNECTION_OK; }

  // Notices are dropped, except a FATAL or PANIC one: the server sends that while the
  // connection is idle when it ends the session (a terminated backend, a shutdown), and
  // the end of the stream may not have arrived yet. Runs inside libpq calls made by the
  // thread that uses the connection.
  static void on_notice(void* self, const PGresult* notice) {
    const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    if (severity != nullptr && (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0)) {
      static_cast<PostgresConnection*>(self)->broken_ = true;
    }
  }

  // Only the time limit and the cancel signal of `options` (inspection reads all rows).
  static ExecuteOptions limits_of(const ExecuteOptions& options) {
    ExecuteOptions limits;
    limits.timeout = options.timeout;
    limits.cancel = options.cancel;
    return limits;
  }

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

  // The next result, or nullptr at the end of the current statement's results. While a
  // statement runs under a watch, waits no longer than the watch allows (see the top).
  ResultPtr next_result() {
    if (watch_ != nullptr) await_input();
    ResultPtr result(PQgetResult(conn_));
    if (!result && !alive()) lost();
    return result;
  }

  void await_input() {
    using Clock = StatementWatch::Clock;
    std::optional<Clock::time_point> stopped_at;
    while (PQisBusy(conn_) == 1) {
      // From the moment the watch stops the statement, the server has kAbandonAfter to
      // answer it or the cancel request.
      if (!stopped_at && watch_->stop_due()) stopped_at = Clock::now();
      if (stopped_at && Clock::now() - *stopped_at > kAbandonAfter) {
        broken_ = true;  // the server answers neither the statement nor the cancel request
        watch_->throw_if_stopped();
        throw base::TimeoutError("the PostgreSQL server did not answer");
      }
      if (readable(200) && PQconsumeInput(conn_) == 0) lost();
      if (!alive()) lost();
    }
  }

  // Reads results up to and including the pipeline's sync. Returns false when one of
  // them was an error.
  bool finish_pipeline() {
    int empty_in_a_row = 0;
    bool clean = true;
    while (true) {
      ResultPtr result = next_result();
      if (!result) {
        if (++empty_in_a_row > 2) lost();
        continue;
      }
      empty_in_a_row = 0;
      ExecStatusType status = PQresultStatus(result.get());
      if (status == PGRES_PIPELINE_SYNC) {
        --pending_syncs_;
        return clean;
      }
      if (status == PGRES_FATAL_ERROR || status == PGRES_PIPELINE_ABORTED) clean = false;
    }
  }

  void cancel_statement() {
    if (canceller_ == nullptr) return;
    char error[256];
    PQcancel(canceller_, error, sizeof error);
  }

  Result run(const std::string& sql, const std::vector<std::string>& params, const ExecuteOptions& options) {
    if (broken_ || !alive()) lost();
    base::throw_if_cancelled(options.cancel);
    // Anything but a connection known to be idle (answers still owed, a transaction left
    // open or aborted) is rolled back first, in the same pipeline.
    const bool settle = pending_syncs_ > 0 || PQtransactionStatus(conn_) != PQTRANS_IDLE;
    const bool limited = options.timeout.count() > 0;
    std::string timeout_command;
    if (limited) {
      long long ms = std::min<long long>(options.timeout.count(), INT_MAX);
      timeout_command = "SET LOCAL statement_timeout = " + std::to_string(ms);
    }
    std::vector<const char*> values;
    for (const auto& param : params) values.push_back(param.c_str());
    if ((settle && !send_command("ROLLBACK")) || !send_command("BEGIN READ ONLY") ||
        (limited && !send_command(timeout_command.c_str())) ||
        PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                          values.empty() ? nullptr : values.data(), nullptr, nullptr, 0) == 0 ||
        PQpipelineSync(conn_) == 0 || !send_command("ROLLBACK") || !send_command("DISCARD ALL") ||
        PQpipelineSync(conn_) == 0) {
      lost();
    }
    pending_syncs_ += 2;
    std::optional<std::string> error;
    bool stopped = false;  // the server cancelled the statement (time limit, our cancel request)
    Result result;
    try {
      StatementWatch watch(
          options, [this] { cancel_statement(); }, kCancelGrace);
      watch_ = &watch;
      struct Unwatch {
        StatementWatch*& slot;
        ~Unwatch() { slot = nullptr; }
      } unwatch{watch_};
      result = read_results(settle, limited, options, error, stopped);
      // A statement the server cancelled (or that failed) once the limit passed or the
      // caller cancelled was stopped by us; any other cancellation (a statement_timeout
      // the statement set for itself) keeps the server's message.
      if (stopped || error) watch.throw_if_stopped();
    } catch (const base::TimeoutError&) {
      throw;
    } catch (const base::CancelledError&) {
      throw;
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

  // The rows of one statement's answer as they arrive: the columns from the first result
  // that has them, the values converted (or cut when longer than max_value_bytes), at
  // most max_rows of them (truncated says that more came).
  struct RowCollector {
    explicit RowCollector(const ExecuteOptions& execute_options) : options(execute_options) {}

    const ExecuteOptions& options;
    std::vector<std::string> keys;
    std::vector<PgOid> types;
    std::vector<Row> rows;
    bool returns_rows = false;
    bool truncated = false;

    void describe(const PGresult* result) {
      if (returns_rows) return;
      returns_rows = true;
      int columns = PQnfields(result);
      for (int column = 0; column < columns; ++column) {
        keys.emplace_back(PQfname(result, column));
        types.push_back(PQftype(result, column));
      }
    }

    void keep(const PGresult* result) {
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
            continue;
          }
          std::string_view text(PQgetvalue(result, index, column), PQgetlength(result, index, column));
          if (options.max_value_bytes != 0 && text.size() > options.max_value_bytes) {
            std::string cut(text);  // too long to convert: its text, cut
            cut_long_text(cut, options.max_value_bytes);
            row.emplace_back(std::move(cut));
          } else {
            row.push_back(pg_value(types[column], text));
          }
        }
        rows.push_back(std::move(row));
      }
    }
  };

  // Reads what comes before the statement's answer: the answers still owed to an earlier
  // pipeline, the leading ROLLBACK (with `settle`), the BEGIN and, with `limited`, the
  // SET of the time limit. Returns false, with the database's error in `error`, when the
  // BEGIN or the SET failed.
  bool read_preamble(bool settle, bool limited, std::optional<std::string>& error) {
    while (pending_syncs_ > 2) finish_pipeline();
    rollback_pending_ = false;
    if (settle) {
      while (next_result()) {  // the leading ROLLBACK: a warning at most
      }
    }
    for (int command = 0; command < (limited ? 2 : 1); ++command) {
      ResultPtr result = next_result();
      bool failed = result && PQresultStatus(result.get()) != PGRES_COMMAND_OK;
      if (failed) error = result_error(result.get());
      while (next_result()) {
      }
      if (failed) return false;
    }
    return true;
  }

  // Reads the statement's own answer into `rows`. A statement that has sent max_rows rows
  // is cancelled (its query-canceled error is then ours, not the caller's); a
  // query-canceled error otherwise sets `stopped`. The first database error goes to
  // `error`. Throws for COPY, which cannot be driven inside a pipeline.
  void read_statement(bool begin_ok, RowCollector& rows, std::optional<std::string>& error, bool& stopped) {
    const ExecuteOptions& options = rows.options;
    // A statement that may return any number of rows is read one row at a time, so no
    // more than max_rows are ever held; so is one whose values are cut while read, so
    // that no more than one row of long values is held.
    const bool row_at_a_time = !(options.rows_bounded && options.max_rows != 0) || options.max_value_bytes != 0;
    if (begin_ok && row_at_a_time) PQsetSingleRowMode(conn_);
    bool cancelled = false;
    while (ResultPtr result = next_result()) {
      switch (PQresultStatus(result.get())) {
        case PGRES_SINGLE_TUPLE:
          rows.describe(result.get());
          rows.keep(result.get());
          if (rows.truncated && !cancelled) {
            cancel_statement();
            cancelled = true;
          }
          break;
        case PGRES_TUPLES_OK:
          rows.describe(result.get());
          rows.keep(result.get());  // rows when not read one at a time
          break;
        case PGRES_COMMAND_OK:
          break;
        case PGRES_EMPTY_QUERY:
          error = "can't execute an empty query";
          break;
        case PGRES_FATAL_ERROR:
        case PGRES_NONFATAL_ERROR:
          if (cancelled && is_sqlstate(result.get(), kQueryCanceled)) break;  // our stop after max_rows
          if (is_sqlstate(result.get(), kQueryCanceled)) stopped = true;
          if (!error) error = result_error(result.get());
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
  }

  // Reads the answers of the pipeline run() sent (and, first, those still owed to an
  // earlier one). The database's error, if any, goes to `error`; throws only when the
  // connection cannot be used any more.
  Result read_results(bool settle, bool limited, const ExecuteOptions& options, std::optional<std::string>& error,
                      bool& stopped) {
    bool begin_ok = read_preamble(settle, limited, error);
    RowCollector rows(options);
    read_statement(begin_ok, rows, error, stopped);
    finish_pipeline();  // the first sync
    // The closing ROLLBACK and DISCARD ALL: a session that could not be reset is not
    // used again.
    if (!finish_pipeline()) broken_ = true;
    if (!alive()) lost();
    if (error || !rows.returns_rows) return Result();
    return Result(std::move(rows.keys), std::move(rows.rows), rows.truncated);
  }

  static std::vector<std::string> first_column(const Result& result) {
    std::vector<std::string> names;
    for (const auto& row : result.fetchall()) names.push_back(row[0].get<std::string>());
    return names;
  }

  PGconn* conn_;
  PGcancel* canceller_ = nullptr;    // for cancel requests from the watch's thread
  StatementWatch* watch_ = nullptr;  // the running statement's watch, or null
  int pending_syncs_ = 0;            // pipeline syncs sent whose results were not read yet
  bool rollback_pending_ = false;    // the last pipeline sent is a ROLLBACK
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
    params.emplace_back("connect_timeout", std::to_string(CONNECT_TIMEOUT.count()));
    std::string session_options = kSessionOptions;
    for (const auto& [key, value] : url.query) {
      if (key == "client_encoding") continue;
      if (std::find(std::begin(kAcceptedUrlOptions), std::end(kAcceptedUrlOptions), key) ==
          std::end(kAcceptedUrlOptions)) {
        std::string accepted;
        for (const char* name : kAcceptedUrlOptions) accepted += (accepted.empty() ? "" : ", ") + std::string(name);
        throw base::DatabaseError("The PostgreSQL URL's option '" + key.substr(0, 64) +
                                  "' is not accepted (accepted: " + accepted + ")");
      }
      if (key == "options") {
        session_options += " " + value;
      } else {
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
