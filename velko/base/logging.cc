#include "velko/base/logging.h"

#include <cstdio>
#include <map>

namespace velko::base {
namespace {

class StderrSink : public LogSink {
 public:
  void write(const LogRecord& record) override {
    std::fprintf(stderr, "%s %s: %s\n", level_name(record.level), record.logger.c_str(), record.message.c_str());
  }
};

struct SinkState {
  std::mutex mu;
  std::shared_ptr<LogSink> sink = std::make_shared<StderrSink>();  // guarded by mu
  LogLevel min_level = LogLevel::kWarning;                         // guarded by mu
};

SinkState& sink_state() {
  static SinkState* state = new SinkState();  // never destroyed: loggers outlive statics
  return *state;
}

LogLevel current_min_level() {
  std::lock_guard lock(sink_state().mu);
  return sink_state().min_level;
}

}  // namespace

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return "DEBUG";
    case LogLevel::kInfo:
      return "INFO";
    case LogLevel::kWarning:
      return "WARNING";
    case LogLevel::kError:
      return "ERROR";
  }
  return "LOG";
}

void Logger::log(LogLevel level, std::string_view message) const {
  std::shared_ptr<LogSink> sink;
  {
    std::lock_guard lock(sink_state().mu);
    if (level < sink_state().min_level) return;
    sink = sink_state().sink;
  }
  if (sink) sink->write(LogRecord{name_, level, std::string(message)});
}

Logger& get_logger(std::string_view name) {
  // Process-wide: a logger, once made, lives until the process ends (callers keep
  // references), so the map is never destroyed. Guarded by mu.
  static std::mutex mu;
  static auto* loggers = new std::map<std::string, std::unique_ptr<Logger>, std::less<>>();
  std::lock_guard lock(mu);
  auto found = loggers->find(name);
  if (found != loggers->end()) return *found->second;
  auto [inserted, ok] = loggers->emplace(std::string(name), std::make_unique<Logger>(std::string(name)));
  return *inserted->second;
}

std::shared_ptr<LogSink> set_log_sink(std::shared_ptr<LogSink> sink, LogLevel min_level) {
  std::lock_guard lock(sink_state().mu);
  std::swap(sink_state().sink, sink);
  sink_state().min_level = min_level;
  return sink;
}

void CapturingSink::write(const LogRecord& record) {
  std::lock_guard lock(mu_);
  records_.push_back(record);
}

std::vector<LogRecord> CapturingSink::records() const {
  std::lock_guard lock(mu_);
  return records_;
}

std::vector<std::string> CapturingSink::messages(std::string_view logger, LogLevel level) const {
  std::lock_guard lock(mu_);
  std::vector<std::string> out;
  for (const auto& record : records_) {
    if (record.logger == logger && record.level == level) out.push_back(record.message);
  }
  return out;
}

void CapturingSink::clear() {
  std::lock_guard lock(mu_);
  records_.clear();
}

ScopedLogCapture::ScopedLogCapture() : sink_(std::make_shared<CapturingSink>()), previous_level_(current_min_level()) {
  previous_ = set_log_sink(sink_, LogLevel::kDebug);
}

ScopedLogCapture::~ScopedLogCapture() { set_log_sink(previous_, previous_level_); }

}  // namespace velko::base
