// Pieces shared by the two chart tools: the tool-call id made safe for paths, text made
// safe inside a Python string literal, secrets kept out of error texts, and the tools'
// JSON answers. Pure functions and immutable objects, thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velko/base/json.h"
#include "velko/base/redact.h"

namespace velko::middleware::analyst {

// The error both chart tools give when a run saved no image.
inline constexpr const char* NO_IMAGES_ERROR =
    "No images generated. Ensure your code calls plt.savefig('filename.png')";

// True for a code point of a Unicode letter or number category (L*, N*).
bool is_unicode_letter_or_digit(uint32_t code_point);

// `tool_call_id` with every character that is not a letter, a digit (both in the Unicode
// sense), "-" or "_" replaced by "_": as many characters as the input, each invalid UTF-8
// byte counting as one character.
std::string _safe_tool_call_id(std::string_view tool_call_id);

// `text` escaped for use between double quotes in Python source: backslash and double
// quote escaped, control characters as \xNN, bytes that are not valid UTF-8 as \udcNN
// (which Python turns back into the same bytes for file names). Ordinary paths come out
// unchanged.
std::string python_string_body(std::string_view text);

// Removes secrets from texts shown to the model with the product's one rule
// (base::Redactor): those of one connection (its URL's password and secret query values,
// its configuration's secret-named values), plus whatever add_config() adds, in every
// form the rule covers. Values shorter than 4 characters are left alone.
class SecretRedactor {
 public:
  SecretRedactor() = default;
  SecretRedactor(const std::string& connection_string, const Json& config);
  // Adds the secrets of a whole configuration document (every stored connection).
  void add_config(const Json& document) { redactor_.add_config(document); }
  // Adds the secrets of the local configuration store. An unreadable store adds nothing:
  // it holds no secret a script could have read either.
  void add_stored_secrets();
  std::string redact(std::string text) const { return redactor_.redact(text); }

 private:
  base::Redactor redactor_;
};

// Makes a chart script's database session read-only where the connection's engine takes
// it from the environment: for a PostgreSQL URL, PGOPTIONS gains
// "-c default_transaction_read_only=on" (after what `env` already has).
void add_read_only_session(const std::string& connection_string, std::map<std::string, std::string>& env);

// {"charts": [], "error": error} as JSON text.
std::string chart_failure(const std::string& error);

// The opening both chart scripts share: a headless matplotlib, seaborn, pandas and os,
// and seaborn's theme.
inline constexpr std::string_view CHART_SCRIPT_PREAMBLE =
    "\n"
    "import matplotlib\n"
    "matplotlib.use('Agg')\n"
    "import seaborn as sns\n"
    "import matplotlib.pyplot as plt\n"
    "import pandas as pd\n"
    "import os\n"
    "\n"
    "sns.set_theme()\n";

// {"charts": charts} as JSON text.
std::string chart_success(const Json& charts);

}  // namespace velko::middleware::analyst
