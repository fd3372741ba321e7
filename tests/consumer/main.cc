// Builds an agent from the installed library and prints the prompt and tool names of its
// data-analysis middleware for a local SQLite connection.
#include <iostream>
#include <memory>

#include "velko/host/agent.h"
#include "velko/middleware/analyst/connection_string.h"
#include "velko/middleware/analyst/middleware.h"

int main() {
  using velko::middleware::analyst::DataAnalysisMiddleware;
  auto middleware = std::make_shared<DataAnalysisMiddleware>(nullptr, "cli");
  velko::host::Agent agent({middleware}, nullptr, std::string("You are a data engineer."));
  std::cout << velko::middleware::analyst::_build_connection_string({{"type", "SQLITE"}, {"database", "/tmp/w.db"}})
            << "\n";
  for (const auto& tool : agent.tools()) std::cout << tool.name() << "\n";
  std::cout << agent.system_prompt_for(velko::Json::object());
  return 0;
}
