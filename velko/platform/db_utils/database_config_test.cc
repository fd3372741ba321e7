#include "velko/platform/db_utils/database_config.h"

#include <gtest/gtest.h>

#include "velko/base/errors.h"
#include "velko/platform/db_utils/config_url.h"
#include "velko/platform/db_utils/urls.h"

namespace velko::platform::db_utils {
namespace {

TEST(DatabaseConfigTest, NamesEveryTypeExactlyAsStored) {
  for (DatabaseType type :
       {DatabaseType::kSnowflake, DatabaseType::kDatabricks, DatabaseType::kPostgres, DatabaseType::kClickhouse,
        DatabaseType::kMotherduck, DatabaseType::kBigquery, DatabaseType::kSqlite, DatabaseType::kDuckdb}) {
    EXPECT_EQ(parse_database_type(database_type_name(type)), type);
  }
  EXPECT_EQ(parse_database_type("postgres"), std::nullopt);  // case-sensitive
  EXPECT_EQ(parse_database_type("MYSQL"), std::nullopt);
  EXPECT_EQ(dialect_for(DatabaseType::kSnowflake), sql_lexer::SqlDialect::kSnowflake);
  EXPECT_EQ(dialect_for(DatabaseType::kClickhouse), sql_lexer::SqlDialect::kPostgres);
}

TEST(DatabaseConfigTest, ReadsTextAndIntegersAndDefersOtherKindsToTheirReader) {
  const DatabaseConfig config = parse_database_config({{"type", "POSTGRES"},
                                                       {"port", 5433},
                                                       {"host", "h"},
                                                       {"role", true},
                                                       {"warehouse", nullptr},
                                                       {"keyfile", nullptr},
                                                       {"query_timeout", "2.5"},
                                                       {"extra", Json::array()}});
  EXPECT_EQ(config.known_type, DatabaseType::kPostgres);
  EXPECT_EQ(config.port.required(), "5433");
  EXPECT_EQ(config.host.optional("x"), "h");
  EXPECT_EQ(config.database.optional("fallback"), "fallback");
  EXPECT_THROW((void)config.database.required(), base::KeyError);
  // Present but not text: refused only when read, with the key named.
  EXPECT_TRUE(config.role.present());
  EXPECT_FALSE(config.role.is_text());
  try {
    (void)config.role.optional();
    ADD_FAILURE() << "a boolean role was read as text";
  } catch (const base::TypeError& error) {
    EXPECT_STREQ(error.what(), "DatabaseConfig key 'role' must be text");
  }
  EXPECT_THROW((void)config.warehouse.optional(), base::TypeError);  // null is a value, not absence
  EXPECT_FALSE(config.keyfile.present());                            // except for the key file
  EXPECT_EQ(config.query_timeout, "2.5");
  // What the model is shown keeps every kind.
  EXPECT_EQ(config.role.shown(), "True");
  EXPECT_EQ(config.warehouse.shown(), "None");
  EXPECT_EQ(config.port.shown(), "5433");
  EXPECT_EQ(config.username.shown(), "");
}

TEST(DatabaseConfigTest, KeysATypeDoesNotReadNeverSpoilTheRecord) {
  // Snowflake reads no port; a Postgres record reads it and refuses a float.
  EXPECT_EQ(build_url_for_config(
                {{"type", "SNOWFLAKE"}, {"username", "u"}, {"password", "p"}, {"host", "acct"}, {"port", 1.5}}),
            "snowflake://u:p@acct");
  EXPECT_THROW(build_url_for_config({{"type", "POSTGRES"},
                                     {"username", "u"},
                                     {"password", "p"},
                                     {"host", "h"},
                                     {"database", "d"},
                                     {"port", 1.5}}),
               base::TypeError);
  // An unknown or non-text type keeps its stored form for the error and the model.
  const DatabaseConfig numeric = parse_database_config({{"type", 7}});
  EXPECT_EQ(numeric.known_type, std::nullopt);
  EXPECT_EQ(numeric.type.shown(), "7");
  try {
    build_url_for_config(numeric);
    ADD_FAILURE() << "type 7 built a URL";
  } catch (const base::ValueError& error) {
    EXPECT_STREQ(error.what(), "Unsupported connection type: 7");
  }
  EXPECT_THROW(parse_database_config(Json::array()), base::TypeError);
}

}  // namespace
}  // namespace velko::platform::db_utils
