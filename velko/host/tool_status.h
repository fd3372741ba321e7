// ToolStatus: how a tool call ended, as tool messages and tool events carry it.
//
//   success  the tool ran (its text may still report an ordinary error, "Error: ...")
//   error    the tool could not run at all: an unknown tool, arguments that fail the
//            schema, an exception the tool let escape, a cancelled or failed call
//
// The text form appears only where a message is written as JSON or printed, and is
// parsed once where a message comes back from outside (a conversation handed to a model
// client). Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "velko/base/errors.h"

namespace velko::host {

enum class ToolStatus { kSuccess, kError };

// "success" or "error".
inline const char* tool_status_name(ToolStatus status) {
  switch (status) {
    case ToolStatus::kSuccess:
      return "success";
    case ToolStatus::kError:
      return "error";
  }
  return "error";
}

// The status `text` names. Throws ValueError "Unknown tool-message status '<text>' (use
// success or error)" for any other text.
inline ToolStatus parse_tool_status(std::string_view text) {
  if (text == "success") return ToolStatus::kSuccess;
  if (text == "error") return ToolStatus::kError;
  throw base::ValueError("Unknown tool-message status '" + std::string(text) + "' (use success or error)");
}

}  // namespace velko::host
