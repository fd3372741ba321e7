// RunMode: where the agent runs, parsed once from the text that names it.
//
//   cli         on the user's machine: the local configuration store, local charts
//   web         behind the hosted application: hosted services, sandbox charts
//   kubernetes  commands in a Kubernetes pod (sub-agents only)
//
// Modules that behave differently by mode take the text at their edge (a constructor, a
// tool generator) and parse it there, so a misspelt mode is an error at once instead of
// a mix of behaviours. Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "velko/base/errors.h"

namespace velko::base {

enum class RunMode { kCli, kWeb, kKubernetes };

// The mode `text` names. Throws ValueError "Unknown mode '<text>' (use cli, web or
// kubernetes)" for any other text.
inline RunMode parse_run_mode(std::string_view text) {
  if (text == "cli") return RunMode::kCli;
  if (text == "web") return RunMode::kWeb;
  if (text == "kubernetes") return RunMode::kKubernetes;
  throw ValueError("Unknown mode '" + std::string(text) + "' (use cli, web or kubernetes)");
}

// "cli", "web" or "kubernetes".
inline const char* run_mode_name(RunMode mode) {
  switch (mode) {
    case RunMode::kCli:
      return "cli";
    case RunMode::kWeb:
      return "web";
    case RunMode::kKubernetes:
      return "kubernetes";
  }
  return "web";
}

}  // namespace velko::base
