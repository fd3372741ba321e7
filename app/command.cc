#include "app/command.h"

#include <cstdio>
#include <iostream>

#include "velko/platform/services/hosted_services.h"

namespace velko::app {
void apply_global_options(const GlobalOptions& options) {
  if (!options.services_dir.empty()) {
    platform::services::set_hosted_services(platform::services::load_services_dir(options.services_dir));
  }
}

void write_stdout(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace velko::app
