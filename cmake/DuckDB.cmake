# Finds DuckDB's C library and header: in DUCKDB_ROOT (a DuckDB the user installed:
# DUCKDB_ROOT/lib/libduckdb.so and DUCKDB_ROOT/include/duckdb.h, or both in DUCKDB_ROOT
# itself), else in third_party/duckdb/ where scripts/setup.sh puts npm's package.
#
# Defines VELKO_DUCKDB_FOUND and, when found, the imported target velko_duckdb::duckdb.
# A build without DuckDB still builds; its DuckDB driver says that it is missing.
set(DUCKDB_ROOT "$ENV{DUCKDB_ROOT}" CACHE PATH "A DuckDB installation (lib/libduckdb.so, include/duckdb.h)")
set(duckdb_hints ${DUCKDB_ROOT} ${PROJECT_SOURCE_DIR}/third_party/duckdb)
find_path(DUCKDB_INCLUDE_DIR duckdb.h HINTS ${duckdb_hints} PATH_SUFFIXES include NO_DEFAULT_PATH)
find_library(DUCKDB_LIBRARY duckdb HINTS ${duckdb_hints} PATH_SUFFIXES lib NO_DEFAULT_PATH)
if(DUCKDB_INCLUDE_DIR AND DUCKDB_LIBRARY)
  set(VELKO_DUCKDB_FOUND TRUE)
  add_library(velko_duckdb::duckdb SHARED IMPORTED)
  set_target_properties(velko_duckdb::duckdb PROPERTIES
    IMPORTED_LOCATION ${DUCKDB_LIBRARY}
    INTERFACE_INCLUDE_DIRECTORIES ${DUCKDB_INCLUDE_DIR})
  message(STATUS "DuckDB: ${DUCKDB_LIBRARY}")
else()
  set(VELKO_DUCKDB_FOUND FALSE)
  message(STATUS "DuckDB: not found (run scripts/setup.sh or set DUCKDB_ROOT); building without the DuckDB driver")
endif()
