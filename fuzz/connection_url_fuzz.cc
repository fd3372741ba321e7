// libFuzzer target for connection URLs (velko/platform/sql/url.h): the text a user's
// configuration or a hosted back end hands to the engine layer.
//
// The whole input is the URL text. Invariants, besides surviving ASan/UBSan:
//   - make_url either returns or throws ValueError (nothing else escapes);
//   - its error text is one of the fixed texts, quoting nothing of the URL (which may
//     hold a password);
//   - a parsed port is within 0..65535, and the dialect name is not empty;
//   - render_redacted() shows "***" for a given password, and its text does not depend on
//     the password or on any secret query value (password, *token*, *secret*).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "velko/base/errors.h"
#include "velko/platform/sql/url.h"

using velko::platform::sql::make_url;
using velko::platform::sql::Url;

namespace {

// Whether query key `key` names a secret that render_redacted() hides.
bool secret_key(const std::string& key) {
  return key == "password" || key.find("token") != std::string::npos || key.find("secret") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Url url;
  try {
    url = make_url(text);
  } catch (const velko::base::ValueError& error) {
    // A fixed text: nothing of the input is ever quoted.
    static const std::string kReasons[] = {"no \"dialect://\" prefix", "invalid characters in the dialect name",
                                           "unclosed \"[\" around the host", "unexpected text after the host",
                                           "invalid port"};
    const std::string message = error.what();
    bool known = false;
    for (const auto& reason : kReasons) known = known || message == "Could not parse the connection URL: " + reason;
    if (!known) abort();
    return 0;
  }
  if (url.drivername.empty()) abort();
  if (url.port && (*url.port < 0 || *url.port > 65535)) abort();

  // The rendering does not depend on any secret: the same URL with other secrets renders
  // the same text.
  const std::string rendered = url.render_redacted();
  if (url.password && rendered.find(":***@") == std::string::npos) abort();
  Url other = url;
  if (other.password) other.password = *other.password + "-other";
  for (auto& [key, value] : other.query) {
    if (secret_key(key)) value += "-other";
  }
  if (other.render_redacted() != rendered) abort();
  return 0;
}
