#include "velko/platform/sql/url.h"

#include <charconv>

#include "velko/base/errors.h"
#include "velko/base/strings.h"

namespace velko::platform::sql {
namespace {

[[noreturn]] void fail(std::string_view reason) {
  throw base::ValueError("Could not parse the connection URL: " + std::string(reason));
}

bool is_name_char(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '+' ||
         ch == '-' || ch == '.';
}

std::string decode_form_value(std::string_view text) {
  std::string spaced(text);
  for (char& ch : spaced) {
    if (ch == '+') ch = ' ';
  }
  return base::percent_decode(spaced);
}

std::vector<std::pair<std::string, std::string>> parse_query(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> query;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(start, end - start);
    if (!item.empty()) {
      size_t equals = item.find('=');
      std::string_view key = item.substr(0, equals);
      std::string_view value = equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
      query.emplace_back(decode_form_value(key), decode_form_value(value));
    }
    start = end + 1;
  }
  return query;
}

}  // namespace

std::string Url::backend_name() const { return drivername.substr(0, drivername.find('+')); }

std::string Url::driver_name() const {
  size_t plus = drivername.find('+');
  return plus == std::string::npos ? std::string() : drivername.substr(plus + 1);
}

std::optional<std::string> Url::query_value(std::string_view key) const {
  std::optional<std::string> found;
  for (const auto& [name, value] : query) {
    if (name == key) found = value;
  }
  return found;
}

std::string Url::render_redacted() const {
  std::string out = drivername + "://";
  if (username) {
    out += base::percent_encode(*username);
    if (password) out += ":***";
    out += "@";
  }
  if (host) out += host->find(':') != std::string::npos ? "[" + *host + "]" : *host;
  if (port) out += ":" + std::to_string(*port);
  if (database) out += "/" + *database;
  for (size_t idx = 0; idx < query.size(); ++idx) {
    out += idx == 0 ? "?" : "&";
    const auto& [key, value] = query[idx];
    bool secret =
        key == "password" || key.find("token") != std::string::npos || key.find("secret") != std::string::npos;
    out += base::percent_encode(key, "/") + "=" + (secret ? "***" : base::percent_encode(value, "/"));
  }
  return out;
}

Url make_url(std::string_view text) {
  Url url;
  size_t scheme_end = text.find("://");
  if (scheme_end == std::string_view::npos || scheme_end == 0) fail("no \"dialect://\" prefix");
  std::string_view scheme = text.substr(0, scheme_end);
  for (char ch : scheme) {
    if (!is_name_char(ch)) fail("invalid characters in the dialect name");
  }
  url.drivername = std::string(scheme);
  std::string_view rest = text.substr(scheme_end + 3);

  // The query starts at the first "?"; the authority ends at the first "/" before it.
  std::string_view query_text;
  if (size_t question = rest.find('?'); question != std::string_view::npos) {
    query_text = rest.substr(question + 1);
    rest = rest.substr(0, question);
  }
  std::string_view authority = rest;
  std::optional<std::string_view> path;
  if (size_t slash = rest.find('/'); slash != std::string_view::npos) {
    authority = rest.substr(0, slash);
    path = rest.substr(slash + 1);
  }

  // Credentials end at the last "@", so a stray "@" in an unencoded password is kept.
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
    std::string_view userinfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    size_t colon = userinfo.find(':');
    url.username = base::percent_decode(userinfo.substr(0, colon));
    if (colon != std::string_view::npos) url.password = base::percent_decode(userinfo.substr(colon + 1));
  }

  std::string_view host = authority;
  std::optional<std::string_view> port_text;
  if (authority.starts_with('[')) {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) fail("unclosed \"[\" around the host");
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') fail("unexpected text after the host");
      port_text = after.substr(1);
    }
  } else if (size_t colon = authority.find(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port_text = authority.substr(colon + 1);
  }
  if (!host.empty()) url.host = base::percent_decode(host);
  if (port_text && !port_text->empty()) {
    int port = 0;
    auto [end, error] = std::from_chars(port_text->data(), port_text->data() + port_text->size(), port);
    if (error != std::errc() || end != port_text->data() + port_text->size() || port < 0 || port > 65535) {
      fail("invalid port");
    }
    url.port = port;
  }

  if (path && !path->empty()) url.database = base::percent_decode(*path);
  url.query = parse_query(query_text);
  return url;
}

}  // namespace velko::platform::sql
