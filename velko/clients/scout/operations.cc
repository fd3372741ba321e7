#include "velko/clients/scout/operations.h"

#include <cmath>
#include <limits>

#include "velko/base/errors.h"
#include "velko/clients/scout/tavily_proxy_client.h"

namespace velko::clients::scout {
namespace {

void require_object(const Json& args) {
  if (!args.is_object()) throw base::TypeError(std::string("arguments must be a JSON object, not ") + args.type_name());
}

std::string text_argument(const Json& args, const char* name) {
  auto found = args.find(name);
  if (found == args.end() || found->is_null()) throw base::TypeError(std::string(name) + " is required");
  if (!found->is_string()) throw base::TypeError(std::string(name) + " must be text, not " + found->type_name());
  return found->get<std::string>();
}

double timeout_argument(const Json& args) {
  auto found = args.find("timeout");
  if (found == args.end() || found->is_null()) return DEFAULT_TIMEOUT_SECONDS;
  if (!found->is_number()) throw base::TypeError(std::string("timeout must be a number, not ") + found->type_name());
  return found->get<double>();
}

TavilyProxyClient client_for(const Json& args) {
  require_object(args);
  return TavilyProxyClient(text_argument(args, "base_url"), text_argument(args, "access_token"),
                           timeout_argument(args));
}

}  // namespace

bool _truth_value(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return false;
    case Json::value_t::boolean:
      return value.get<bool>();
    case Json::value_t::number_integer:
      return value.get<long long>() != 0;
    case Json::value_t::number_unsigned:
      return value.get<unsigned long long>() != 0;
    case Json::value_t::number_float:
      return value.get<double>() != 0.0;
    case Json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
      return !value.empty();
    default:
      return true;
  }
}

long long _integer_argument(const Json& args, const char* name, long long fallback) {
  auto found = args.find(name);
  if (found == args.end() || found->is_null()) return fallback;
  if (found->is_number_integer() && !found->is_number_unsigned()) return found->get<long long>();
  if (found->is_number_unsigned()) {
    unsigned long long value = found->get<unsigned long long>();
    if (value > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
      throw base::ValueError(std::string(name) + " is out of range");
    }
    return static_cast<long long>(value);
  }
  if (found->is_number_float()) {
    double value = std::trunc(found->get<double>());
    // 2^63 is the first value beyond long long; every double below it converts exactly.
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) {
      throw base::ValueError(std::string(name) + " is out of range");
    }
    return static_cast<long long>(value);
  }
  throw base::TypeError(std::string(name) + " must be a number, not " + found->type_name());
}

Json web_search_operation(const Json& args) {
  TavilyProxyClient client = client_for(args);
  std::string query = text_argument(args, "query");
  long long max_results = _integer_argument(args, "max_results", DEFAULT_MAX_RESULTS);
  bool include_raw_content = _truth_value(args.value("include_raw_content", Json(false)));
  return client.web_search(query, max_results, include_raw_content);
}

Json extract_content_operation(const Json& args) {
  TavilyProxyClient client = client_for(args);
  auto found = args.find("urls");
  if (found == args.end() || found->is_null()) throw base::TypeError("urls is required");
  if (!found->is_array()) throw base::TypeError(std::string("urls must be a list of text, not ") + found->type_name());
  std::vector<std::string> urls;
  for (const Json& url : *found) {
    if (!url.is_string()) throw base::TypeError(std::string("urls must be a list of text; found ") + url.type_name());
    urls.push_back(url.get<std::string>());
  }
  return client.extract_content(urls);
}

Json quick_answer_operation(const Json& args) {
  TavilyProxyClient client = client_for(args);
  return client.quick_answer(text_argument(args, "query"));
}

Json get_search_context_operation(const Json& args) {
  TavilyProxyClient client = client_for(args);
  std::string query = text_argument(args, "query");
  return client.get_search_context(query, _integer_argument(args, "max_results", DEFAULT_MAX_RESULTS));
}

}  // namespace velko::clients::scout
