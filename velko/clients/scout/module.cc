#include "velko/clients/scout/module.h"

#include "velko/clients/scout/operations.h"

namespace velko::clients::scout {

void register_module(host::Registry& registry) {
  registry.add_operation("scout.web_search", &web_search_operation);
  registry.add_operation("scout.extract_content", &extract_content_operation);
  registry.add_operation("scout.quick_answer", &quick_answer_operation);
  registry.add_operation("scout.get_search_context", &get_search_context_operation);
}

}  // namespace velko::clients::scout
