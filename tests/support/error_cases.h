// Checks that statements fail as they should: each one, run with `run`, must throw a
// base::DatabaseError whose text holds its expected part and never `secret`.
//
//   expect_database_errors([&](const std::string& sql) { connection->execute(sql, {}); },
//                          {{"SELECT html", "answered HTTP 502"}}, kToken);
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/http_test_server.h"
#include "velko/base/errors.h"

namespace velko::test_support {

inline void expect_database_errors(const std::function<void(const std::string&)>& run,
                                   const std::vector<std::pair<std::string, std::string>>& cases,
                                   const std::string& secret) {
  for (const auto& [statement, expected] : cases) {
    try {
      run(statement);
      ADD_FAILURE() << statement << " must fail";
    } catch (const base::DatabaseError& error) {
      EXPECT_THAT(error.what(), ::testing::HasSubstr(expected)) << statement;
      EXPECT_THAT(error.what(), ::testing::Not(::testing::HasSubstr(secret))) << statement;
    }
  }
}

// A body that breaks off: `start` is sent as a chunk and the connection closes without
// the end of the chunked body.
inline ScriptedResponse cut_off_json(std::string start) {
  ScriptedResponse response = ScriptedResponse::stream({std::move(start)}, "application/json");
  response.cut = true;
  return response;
}

}  // namespace velko::test_support
