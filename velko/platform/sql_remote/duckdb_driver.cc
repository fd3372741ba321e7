#include "velko/platform/sql_remote/duckdb_driver.h"

#include "velko/base/errors.h"

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

std::shared_ptr<sql::Driver> make_duckdb_driver() { return std::make_shared<UnavailableDuckdbDriver>(); }

}  // namespace velko::platform::sql_remote
