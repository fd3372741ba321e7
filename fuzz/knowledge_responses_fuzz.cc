// Fuzz target for what the knowledge clients read from outside: Chroma query results
// (hit building) and search queries (the 400-code-point cut).
//
// Input layout: the first byte picks the part (even: the rest is a Chroma query result in
// JSON; odd: the rest is a search query). Invariants are checked with abort().
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "velko/base/errors.h"
#include "velko/base/json.h"
#include "velko/base/utf8.h"
#include "velko/clients/chromadb/chromadb_client.h"
#include "velko/clients/scout/tavily_proxy_client.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

void fuzz_hits(std::string_view text) {
  velko::Json result;
  try {
    result = velko::base::loads(text);
  } catch (const std::exception&) {
    return;  // not JSON (base::loads also lets nlohmann's number overflow through)
  }
  velko::Json hits;
  try {
    hits = velko::clients::chromadb::_build_hits(result);
  } catch (const velko::base::ValueError&) {
    return;  // a malformed result is refused, never half-read
  }
  check(hits.is_array());
  size_t expected = 0;
  if (result.is_object() && result.contains("documents") && result["documents"].is_array() &&
      !result["documents"].empty() && result["documents"][0].is_array()) {
    expected = result["documents"][0].size();
  }
  check(hits.size() == expected);
  for (const velko::Json& hit : hits) {
    auto key = hit.begin();
    for (const char* name : {"content", "source", "chunk_index", "relevance_score"}) {
      check(key != hit.end() && key.key() == name);
      ++key;
    }
    check(key == hit.end());
    check(hit["relevance_score"].is_null() || hit["relevance_score"].is_number_float());
  }
  velko::base::dumps(hits);  // every hit has a JSON text form
}

void fuzz_query(std::string_view query) {
  std::string cut = velko::clients::scout::_truncate_query(query);
  size_t length = velko::base::count_code_points(query);
  if (length <= velko::clients::scout::MAX_QUERY_LENGTH) {
    check(cut == query);
    return;
  }
  check(velko::base::count_code_points(cut) == velko::clients::scout::MAX_QUERY_LENGTH);
  check(cut.size() >= 3 && cut.compare(cut.size() - 3, 3, "...") == 0);
  std::string_view kept(cut.data(), cut.size() - 3);
  check(query.substr(0, kept.size()) == kept);  // a prefix of the query, cut between sequences
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    fuzz_hits(rest);
  } else {
    fuzz_query(rest);
  }
  return 0;
}
