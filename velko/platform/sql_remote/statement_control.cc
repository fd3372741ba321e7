#include "velko/platform/sql_remote/statement_control.h"

#include <algorithm>
#include <cmath>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/http.h"
#include "velko/base/strings.h"

namespace velko::platform::sql_remote {
namespace {

// The host of "scheme://[user@]host[:port][/...]", brackets kept for IPv6.
std::string host_of(std::string_view url) {
  size_t start = url.find("://");
  if (start == std::string_view::npos) return {};
  start += 3;
  size_t end = url.find_first_of("/?#", start);
  std::string_view authority = url.substr(start, end == std::string_view::npos ? url.npos : end - start);
  size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (authority.starts_with("[")) {
    size_t close = authority.find(']');
    return std::string(authority.substr(0, close == std::string_view::npos ? authority.size() : close + 1));
  }
  return std::string(authority.substr(0, authority.find(':')));
}

}  // namespace

StatementControl::StatementControl(const sql::ExecuteOptions& options)
    : timeout_(options.timeout), watch_(options, nullptr) {}

double StatementControl::request_seconds(double cap, double floor) const {
  if (timeout_.count() <= 0) return cap;
  double left = std::chrono::duration<double>(watch_.remaining()).count();
  return std::max(floor, std::min(cap, left));
}

long long StatementControl::limit_seconds() const {
  if (timeout_.count() <= 0) return 0;
  return (timeout_.count() + 999) / 1000;
}

void StatementControl::wait(std::chrono::milliseconds pause) { watch_.sleep_for(pause); }

void StatementControl::stop_if_needed(const std::function<void()>& stop) {
  bool was_cancelled = cancelled();
  if (!was_cancelled && !expired()) return;
  stop();
  if (was_cancelled) throw base::CancelledError();
  throw base::TimeoutError("The query " + timeout_text() + " and was stopped");
}

std::string StatementControl::timeout_text() const {
  return "timed out after " + base::seconds_text(static_cast<double>(timeout_.count()) / 1000.0) + " seconds";
}

void require_secure_url(const std::string& url, const std::string& what) {
  std::string scheme = base::ascii_lower(url.substr(0, url.find("://")));
  if (scheme == "https" && !host_of(url).empty()) return;
  if (scheme == "http" && base::is_loopback_host(host_of(url))) return;
  throw base::DatabaseError(what +
                            " must be an https URL (plain http only for a loopback address): " + base::safe_url(url));
}

std::string service_base_url(const char* env_name, const std::string& fallback) {
  std::string url = base::getenv_opt(env_name).value_or("");
  if (url.empty()) url = fallback;
  while (url.ends_with('/')) url.pop_back();
  require_secure_url(url, url == fallback ? std::string("The service address") : std::string(env_name));
  return url;
}

std::optional<Json> parse_service_json(std::string_view text) {
  if (!base::json_depth_within(text)) return std::nullopt;
  Json parsed = Json::parse(text, nullptr, false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

}  // namespace velko::platform::sql_remote
