// The process environment and the user's home directory.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace velko::base {

// The variable's value, or nullopt when it is not set (an empty value is a value).
std::optional<std::string> getenv_opt(const char* name);

// The current user's home directory: $HOME when set and non-empty, else the password
// database's entry. Throws RuntimeError when neither gives one.
std::string home_dir();

// Every variable of the process environment.
std::map<std::string, std::string> environment();

// A service's base URL: `given` when non-empty, else the environment variable `env_name`
// when set and non-empty, else `fallback`; trailing "/" removed.
std::string service_base_url(const std::optional<std::string>& given, const char* env_name, std::string_view fallback);

// Sets or unsets one variable for as long as the object lives (tests). Not thread-safe
// with respect to other environment changes.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

}  // namespace velko::base
