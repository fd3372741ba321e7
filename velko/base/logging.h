// Named loggers with levels, and sinks that receive their records.
//
// get_logger(name) returns the process-wide logger of that name (dotted module names
// such as "velko.middleware.skills"). Every record of level >= the logger's level goes
// to the current sink. The default sink writes "LEVEL name: message" lines to stderr for
// warnings and above. Tests install a CapturingSink with ScopedLogCapture and read what
// was logged. All functions are thread-safe; loggers live until the process ends.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velko::base {

enum class LogLevel { kDebug = 10, kInfo = 20, kWarning = 30, kError = 40 };

const char* level_name(LogLevel level);

struct LogRecord {
  std::string logger;
  LogLevel level;
  std::string message;
};

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Receives one record. May be called from several threads at once.
  virtual void write(const LogRecord& record) = 0;
};

class Logger {
 public:
  explicit Logger(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }

  void log(LogLevel level, std::string_view message) const;
  void debug(std::string_view message) const { log(LogLevel::kDebug, message); }
  void info(std::string_view message) const { log(LogLevel::kInfo, message); }
  void warning(std::string_view message) const { log(LogLevel::kWarning, message); }
  void error(std::string_view message) const { log(LogLevel::kError, message); }

 private:
  const std::string name_;
};

// The logger named `name`; the same object on every call.
Logger& get_logger(std::string_view name);

// Installs `sink` for every logger and returns the previous one. Records below
// `min_level` are dropped before they reach the sink.
std::shared_ptr<LogSink> set_log_sink(std::shared_ptr<LogSink> sink, LogLevel min_level = LogLevel::kWarning);

// Keeps every record it receives.
class CapturingSink : public LogSink {
 public:
  void write(const LogRecord& record) override;
  std::vector<LogRecord> records() const;
  // Records of one logger at one level, messages only, in order.
  std::vector<std::string> messages(std::string_view logger, LogLevel level) const;
  void clear();

 private:
  mutable std::mutex mu_;
  std::vector<LogRecord> records_;  // guarded by mu_
};

// Captures every record (debug and up) while in scope; restores the previous sink after.
class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;
  const CapturingSink& sink() const { return *sink_; }
  CapturingSink& sink() { return *sink_; }

 private:
  std::shared_ptr<CapturingSink> sink_;
  std::shared_ptr<LogSink> previous_;
  LogLevel previous_level_;
};

}  // namespace velko::base
