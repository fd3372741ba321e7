#include "velko/clients/scout/operations.h"

#include "velko/base/json_args.h"
#include "velko/clients/scout/tavily_proxy_client.h"

namespace velko::clients::scout {
namespace {

// Null counts as not given; a number beyond the integers is "max_results is out of range".
const base::JsonArgsStyle& argument_style() {
  static const base::JsonArgsStyle style = [] {
    base::JsonArgsStyle out;
    out.out_of_range = {base::ArgErrorKind::kValueError, "{name} is out of range"};
    return out;
  }();
  return style;
}

TavilyProxyClient client_for(const base::JsonArgs& args) {
  return TavilyProxyClient(args.text("base_url"), args.text("access_token"),
                           args.number("timeout", DEFAULT_TIMEOUT_SECONDS));
}

}  // namespace

bool _truth_value(const Json& value) { return !base::is_falsy(value); }

long long _integer_argument(const Json& args, const char* name, long long fallback) {
  return base::JsonArgs(args, argument_style()).whole_number(name, fallback);
}

Json web_search_operation(const Json& args) {
  base::JsonArgs reader(args, argument_style());
  TavilyProxyClient client = client_for(reader);
  std::string query = reader.text("query");
  long long max_results = reader.whole_number("max_results", DEFAULT_MAX_RESULTS);
  bool include_raw_content = reader.truth("include_raw_content", false);
  return client.web_search(query, max_results, include_raw_content);
}

Json extract_content_operation(const Json& args) {
  base::JsonArgs reader(args, argument_style());
  TavilyProxyClient client = client_for(reader);
  return client.extract_content(reader.text_list("urls"));
}

Json quick_answer_operation(const Json& args) {
  base::JsonArgs reader(args, argument_style());
  TavilyProxyClient client = client_for(reader);
  return client.quick_answer(reader.text("query"));
}

Json get_search_context_operation(const Json& args) {
  base::JsonArgs reader(args, argument_style());
  TavilyProxyClient client = client_for(reader);
  std::string query = reader.text("query");
  return client.get_search_context(query, reader.whole_number("max_results", DEFAULT_MAX_RESULTS));
}

}  // namespace velko::clients::scout
