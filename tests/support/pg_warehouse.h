// Test helpers for warehouse access: the seeded SQLite warehouse, the throwaway
// PostgreSQL server of scripts/pg_test_server.sh, a private server for tests that stop
// or restart it, and a temporary HOME with a configuration store.
//
// Header-only so that unit tests beside the modules and the integration tests in tests/
// share it. Tests needing PostgreSQL call GTEST_SKIP() only when VELKO_TEST_PG_URL is
// unset (scripts/test.sh always sets it).
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "tests/support/temp_dir.h"
#include "velko/base/env.h"
#include "velko/base/files.h"
#include "velko/base/json.h"
#include "velko/platform/db_utils/urls.h"
#include "velko/platform/sql/url.h"

namespace velko::testing {

inline std::filesystem::path source_dir() {
  if (auto dir = base::getenv_opt("VELKO_SOURCE_DIR"); dir && !dir->empty()) return *dir;
#ifdef VELKO_TEST_SOURCE_DIR
  return VELKO_TEST_SOURCE_DIR;
#else
  // Unit tests run from build-*/velko/...; the sources are above the build directory.
  return std::filesystem::current_path();
#endif
}

// Creates `path` as an SQLite database from tests/data/warehouse_sqlite_seed.sql.
inline void make_sqlite_warehouse(const std::filesystem::path& path) {
  std::string seed = base::read_file(source_dir() / "tests/data/warehouse_sqlite_seed.sql");
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot create " + path.string());
  char* error = nullptr;
  int rc = sqlite3_exec(db, seed.c_str(), nullptr, nullptr, &error);
  std::string message = error ? error : "";
  sqlite3_free(error);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("seeding " + path.string() + ": " + message);
}

// Runs one statement on an SQLite file outside the engine layer; returns the first
// column of the first row as text (empty when none).
inline std::string sqlite_scalar(const std::filesystem::path& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* statement = nullptr;
  std::string value;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
    value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

// HOME pointed at a temporary directory while in scope, so the configuration store
// ($HOME/.velko/config.json) is the test's own.
class TempHome {
 public:
  TempHome() : home_("HOME", dir_.path().string()), app_url_("VELKO_APP_URL", std::nullopt) {}
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  base::ScopedEnv home_;
  base::ScopedEnv app_url_;
};

// The PostgreSQL server of scripts/pg_test_server.sh, from the environment.
struct PgServer {
  std::string url;        // postgresql+psycopg://velko_test:<password>@127.0.0.1:<port>/velko_test
  std::string admin_url;  // libpq URI of the superuser over the unix socket
  std::string ctl;        // pg_ctl command line; append "restart -m fast" and the like
  std::string dir;

  static std::optional<PgServer> from_env() {
    auto url = base::getenv_opt("VELKO_TEST_PG_URL");
    if (!url || url->empty()) return std::nullopt;
    return PgServer{*url, base::getenv_opt("VELKO_TEST_PG_ADMIN_URL").value_or(""),
                    base::getenv_opt("VELKO_TEST_PG_CTL").value_or(""),
                    base::getenv_opt("VELKO_TEST_PG_DIR").value_or("")};
  }

  platform::sql::Url parsed() const { return platform::sql::make_url(url); }
  std::string password() const { return parsed().password.value_or(""); }

  // The DatabaseConfig of this server (type POSTGRES), optionally with another password.
  Json database_config(std::optional<std::string> password = std::nullopt) const {
    platform::sql::Url parts = parsed();
    return {{"type", "POSTGRES"},
            {"host", parts.host.value_or("127.0.0.1")},
            {"port", std::to_string(parts.port.value_or(5432))},
            {"username", parts.username.value_or("")},
            {"password", password.value_or(parts.password.value_or(""))},
            {"database", parts.database.value_or("")}};
  }

  // Runs `sql` as the superuser; returns the first column of the first row ("" when
  // none). Throws std::runtime_error with the server's message.
  std::string admin_scalar(const std::string& sql) const {
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(admin_url.c_str()), &PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(conn.get()));
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(conn.get(), sql.c_str()), &PQclear);
    ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
      throw std::runtime_error(PQresultErrorMessage(result.get()));
    }
    if (status != PGRES_TUPLES_OK || PQntuples(result.get()) == 0) return "";
    return PQgetvalue(result.get(), 0, 0);
  }
};

// Output of a shell command (stdout), and its exit status.
inline std::pair<std::string, int> run_command(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {"", -1};
  std::array<char, 4096> buffer;
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) output.append(buffer.data(), got);
  int status = ::pclose(pipe);
  return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// A server of the test's own (scripts/pg_test_server.sh start), for tests that stop,
// restart or otherwise disturb it; stopped and removed when the object dies.
class PrivatePgServer {
 public:
  PrivatePgServer() {
    auto [output, status] = run_command("VELKO_PG_SEED=" + (source_dir() / "tests/data/pg_seed.sql").string() + " " +
                                        (source_dir() / "scripts/pg_test_server.sh").string() + " start 2>/dev/null");
    if (status != 0) throw std::runtime_error("pg_test_server.sh start failed");
    std::map<std::string, std::string> exports;
    size_t pos = 0;
    while ((pos = output.find("export ", pos)) != std::string::npos) {
      size_t equals = output.find("='", pos);
      size_t end = output.find("'\n", equals);
      if (equals == std::string::npos || end == std::string::npos) break;
      exports[output.substr(pos + 7, equals - pos - 7)] = output.substr(equals + 2, end - equals - 2);
      pos = end;
    }
    server_ = PgServer{exports["VELKO_TEST_PG_URL"], exports["VELKO_TEST_PG_ADMIN_URL"], exports["VELKO_TEST_PG_CTL"],
                       exports["VELKO_TEST_PG_DIR"]};
  }
  ~PrivatePgServer() {
    if (!server_.dir.empty()) {
      run_command((source_dir() / "scripts/pg_test_server.sh").string() + " stop " + server_.dir + " 2>/dev/null");
    }
  }
  PrivatePgServer(const PrivatePgServer&) = delete;
  PrivatePgServer& operator=(const PrivatePgServer&) = delete;

  const PgServer& server() const { return server_; }
  // Runs "pg_ctl ... <action>" for this server; true on success.
  bool ctl(const std::string& action) const {
    return run_command(server_.ctl + " " + action + " >/dev/null 2>&1").second == 0;
  }

 private:
  PgServer server_;
};

}  // namespace velko::testing
