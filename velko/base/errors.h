// The error kinds the system raises. Every error derives from velko::base::Error and so
// from std::exception; what() is the message a tool puts after its error prefix.
//
// The kinds mirror the ones the agent runtime and its tools talk about (a value error,
// a missing key, a wrong type, an operating-system failure, ...), so a caller can catch
// the kind it handles and let the others through.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace velko::base {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
  // The kind's name, such as "ValueError".
  virtual const char* kind() const noexcept { return "Error"; }
};

#define VELKO_DEFINE_ERROR(Name, Base)                           \
  class Name : public Base {                                     \
   public:                                                       \
    explicit Name(const std::string& message) : Base(message) {} \
    const char* kind() const noexcept override { return #Name; } \
  }

VELKO_DEFINE_ERROR(ValueError, Error);
VELKO_DEFINE_ERROR(TypeError, Error);
VELKO_DEFINE_ERROR(RuntimeError, Error);
VELKO_DEFINE_ERROR(NotImplementedError, RuntimeError);
VELKO_DEFINE_ERROR(OSError, Error);
VELKO_DEFINE_ERROR(FileNotFoundError, OSError);
VELKO_DEFINE_ERROR(PermissionError, OSError);
VELKO_DEFINE_ERROR(TimeoutError, OSError);
VELKO_DEFINE_ERROR(ImportError, Error);
VELKO_DEFINE_ERROR(ModuleNotFoundError, ImportError);
VELKO_DEFINE_ERROR(UnicodeDecodeError, ValueError);
// A database driver's error: the server's or the driver's own message, secrets removed.
VELKO_DEFINE_ERROR(DatabaseError, Error);

#undef VELKO_DEFINE_ERROR

// A missing key. Its text is the key in single quotes ('password'), the way a missing
// mapping key reads in the agent runtime's own error texts.
class KeyError : public Error {
 public:
  explicit KeyError(std::string_view key) : Error(quoted(key)) {}
  const char* kind() const noexcept override { return "KeyError"; }

 private:
  static std::string quoted(std::string_view key) {
    std::string text;
    text.reserve(key.size() + 2);
    text.push_back('\'');
    text.append(key);
    text.push_back('\'');
    return text;
  }
};

}  // namespace velko::base
