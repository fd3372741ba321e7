#include "velko/base/env.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "velko/base/errors.h"

extern char** environ;

namespace velko::base {

std::optional<std::string> getenv_opt(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string home_dir() {
  if (auto home = getenv_opt("HOME"); home && !home->empty()) return *home;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir &&
      *found->pw_dir) {
    return found->pw_dir;
  }
  throw RuntimeError("Could not determine home directory");
}

std::map<std::string, std::string> environment() {
  std::map<std::string, std::string> out;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string item(*entry);
    size_t eq = item.find('=');
    if (eq == std::string::npos) continue;
    out.emplace(item.substr(0, eq), item.substr(eq + 1));
  }
  return out;
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value)
    : name_(std::move(name)), previous_(getenv_opt(name_.c_str())) {
  if (value) {
    setenv(name_.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

ScopedEnv::~ScopedEnv() {
  if (previous_) {
    setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

std::string service_base_url(const std::optional<std::string>& given, const char* env_name, std::string_view fallback) {
  std::string url;
  if (given && !given->empty()) {
    url = *given;
  } else if (auto env = getenv_opt(env_name); env && !env->empty()) {
    url = *env;
  } else {
    url = std::string(fallback);
  }
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace velko::base
