#include "velko/base/redact.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "velko/base/strings.h"

namespace velko::base {
namespace {

std::string lower_hex_escapes(std::string text) {
  for (size_t idx = 0; idx + 2 < text.size(); ++idx) {
    if (text[idx] != '%') continue;
    text[idx + 1] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[idx + 1])));
    text[idx + 2] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[idx + 2])));
  }
  return text;
}

}  // namespace

bool is_secret_name(std::string_view name) {
  std::string low = ascii_lower(name);
  for (const char* word : {"password", "passwd", "token", "secret", "credential", "private_key"}) {
    if (low.find(word) != std::string::npos) return true;
  }
  return ends_with(low, "key");
}

bool is_secret_variable(std::string_view name, std::string_view value) {
  if (is_secret_name(name)) return true;
  if (value.find("://") == std::string_view::npos) return false;
  Redactor url;
  url.add_url(value);
  return !url.empty();
}

void Redactor::add_form(std::string form) {
  if (form.size() < MIN_SECRET_LENGTH) return;
  if (std::find(forms_.begin(), forms_.end(), form) != forms_.end()) return;
  auto at = std::find_if(forms_.begin(), forms_.end(),
                         [&form](const std::string& known) { return known.size() < form.size(); });
  forms_.insert(at, std::move(form));
}

void Redactor::add_secret(std::string_view secret) {
  if (secret.size() < MIN_SECRET_LENGTH) return;
  std::vector<std::string> plain = {std::string(secret)};
  std::string decoded = percent_decode(secret);
  if (decoded != secret) plain.push_back(decoded);
  for (const std::string& value : plain) {
    add_form(value);
    add_form(std::string(value.rbegin(), value.rend()));
    std::string user_info = percent_encode(value);
    add_form(user_info);
    add_form(lower_hex_escapes(user_info));
    std::string query = percent_encode(value, "/");
    add_form(query);
    add_form(lower_hex_escapes(query));
    add_form(replace_all(percent_encode(value, " "), " ", "+"));
  }
}

namespace {

// Where a URL carries secrets, as (offset, length) pairs in order: the password of its
// authority, and the values of its query parameters with secret names.
std::vector<std::pair<size_t, size_t>> url_secret_spans(std::string_view url) {
  std::vector<std::pair<size_t, size_t>> spans;
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return spans;
  size_t authority = scheme_end + 3;
  size_t authority_end = url.find_first_of("/?#", authority);
  if (authority_end == std::string_view::npos) authority_end = url.size();
  size_t at = url.rfind('@', authority_end);
  if (at != std::string_view::npos && at >= authority) {
    size_t colon = url.find(':', authority);
    if (colon != std::string_view::npos && colon < at) spans.emplace_back(colon + 1, at - colon - 1);
  }
  size_t query = url.find('?');
  if (query == std::string_view::npos) return spans;
  size_t end = url.find('#', query);
  if (end == std::string_view::npos) end = url.size();
  size_t pos = query + 1;
  while (pos <= end) {
    size_t amp = url.find('&', pos);
    if (amp == std::string_view::npos || amp > end) amp = end;
    std::string_view pair = url.substr(pos, amp - pos);
    size_t eq = pair.find('=');
    if (eq != std::string_view::npos && is_secret_name(percent_decode(pair.substr(0, eq)))) {
      spans.emplace_back(pos + eq + 1, pair.size() - eq - 1);
    }
    pos = amp + 1;
  }
  return spans;
}

}  // namespace

std::string mask_url_secrets(std::string_view url) {
  std::string out(url);
  auto spans = url_secret_spans(url);
  for (auto span = spans.rbegin(); span != spans.rend(); ++span) out.replace(span->first, span->second, "***");
  return out;
}

void Redactor::add_url(std::string_view url) {
  for (const auto& [offset, length] : url_secret_spans(url)) add_secret(url.substr(offset, length));
}

void Redactor::add_config(const Json& config) {
  if (!config.is_object()) return;
  for (const auto& [key, value] : config.items()) {
    if (value.is_object()) {
      add_config(value);
    } else if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      if (is_secret_name(key)) add_secret(text);
      if (text.find("://") != std::string::npos) add_url(text);
    }
  }
}

std::string Redactor::redact(std::string_view text) const {
  std::string out(text);
  for (const std::string& form : forms_) {
    if (out.find(form) != std::string::npos) out = replace_all(out, form, REDACTED);
  }
  return out;
}

}  // namespace velko::base
