// libFuzzer target for what the remote warehouse drivers read from the network or take
// from the model: ClickHouse result bodies, and statement text checked before it is sent.
//
// Input layout: the first byte picks the part (byte % 2: 0 ClickHouse body, 1 statement
// text) and, for bodies, the row cap (byte / 2 % 4: 0, 1, 2, 50); the rest is the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velko/base/errors.h"
#include "velko/platform/sql_remote/clickhouse_driver.h"
#include "velko/platform/sql_remote/statement_text.h"

using velko::platform::sql_remote::ensure_read_only;
using velko::platform::sql_remote::parse_clickhouse_rows;
using velko::platform::sql_remote::single_statement;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (selector % 2 == 0) {
    static constexpr size_t kCaps[] = {0, 1, 2, 50};
    const size_t cap = kCaps[selector / 2 % 4];
    try {
      auto result = parse_clickhouse_rows(text, cap);
      // Invariants: never more rows than the cap; every row as wide as the keys.
      if (result.returns_rows()) {
        auto rows = result.take_rows();
        if (cap > 0 && rows.size() > cap) abort();
        for (const auto& row : rows) {
          if (row.size() != result.keys().size()) abort();
        }
      }
    } catch (const velko::base::DatabaseError&) {
    }
    return 0;
  }
  try {
    std::string statement = single_statement(text);
    // The statement sent is the text itself or a prefix of it.
    if (text.substr(0, statement.size()) != statement) abort();
    ensure_read_only(statement);
  } catch (const velko::base::DatabaseError&) {
  }
  return 0;
}
