#include "velko/clients/chromadb/operations.h"

#include <cmath>
#include <limits>

#include "velko/base/errors.h"
#include "velko/clients/chromadb/chromadb_client.h"

namespace velko::clients::chromadb {
namespace {

void require_object(const Json& args) {
  if (!args.is_object()) throw base::TypeError(std::string("arguments must be a JSON object, not ") + args.type_name());
}

std::string text_argument(const Json& args, const char* name, const char* fallback) {
  auto found = args.find(name);
  if (found == args.end() || found->is_null()) {
    if (fallback == nullptr) throw base::TypeError(std::string(name) + " is required");
    return fallback;
  }
  if (!found->is_string()) throw base::TypeError(std::string(name) + " must be text, not " + found->type_name());
  return found->get<std::string>();
}

// A number cut toward zero; values beyond the integer range saturate (they are clamped to
// 1..20 anyway).
long long count_argument(const Json& args, const char* name, long long fallback) {
  auto found = args.find(name);
  if (found == args.end() || found->is_null()) return fallback;
  if (found->is_boolean() || !found->is_number()) {
    throw base::TypeError(std::string(name) + " must be a number, not " + found->type_name());
  }
  if (found->is_number_unsigned()) {
    unsigned long long value = found->get<unsigned long long>();
    return value > static_cast<unsigned long long>(std::numeric_limits<long long>::max())
               ? std::numeric_limits<long long>::max()
               : static_cast<long long>(value);
  }
  if (found->is_number_integer()) return found->get<long long>();
  double value = std::trunc(found->get<double>());
  if (std::isnan(value)) throw base::ValueError(std::string(name) + " is not a number");
  if (value >= 9223372036854775807.0) return std::numeric_limits<long long>::max();
  if (value <= -9223372036854775807.0) return std::numeric_limits<long long>::min();
  return static_cast<long long>(value);
}

}  // namespace

Json list_collections_operation(const Json& args) {
  require_object(args);
  return ChromaDBClient().list_collections();
}

Json search_docs_operation(const Json& args) {
  require_object(args);
  std::string query = text_argument(args, "query", nullptr);
  std::string collection = text_argument(args, "collection", DEFAULT_COLLECTION);
  long long n_results = count_argument(args, "n_results", DEFAULT_N_RESULTS);
  return ChromaDBClient().search_docs(query, collection, n_results);
}

}  // namespace velko::clients::chromadb
