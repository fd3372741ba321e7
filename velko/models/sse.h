// An incremental reader of server-sent events (the text/event-stream format): bytes go in
// as they arrive, in pieces of any size, and complete events come out.
//
//   SseParser parser;
//   parser.feed(piece, [](const SseEvent& event) { ... event.event, event.data ... });
//
// Lines end with "\n", "\r\n" or "\r"; a line starting with ":" is a comment; "event" sets
// the event's name, each "data" line adds to its data (joined by "\n"), a blank line
// dispatches the event (one without data is dropped, as the format says). Other fields
// ("id", "retry") are ignored. Memory is bounded: a line or an event longer than
// max_event_bytes throws base::ValueError. Not thread-safe; one parser per stream.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace velko::models {

struct SseEvent {
  std::string event;  // "" when the stream named none ("message" by default)
  std::string data;
};

inline constexpr size_t DEFAULT_MAX_SSE_EVENT_BYTES = size_t{8} << 20;  // 8 MiB

class SseParser {
 public:
  explicit SseParser(size_t max_event_bytes = DEFAULT_MAX_SSE_EVENT_BYTES) : max_event_bytes_(max_event_bytes) {}

  // Reads `piece`; calls `on_event` for every event it completes, in order. Whatever
  // on_event throws propagates (the parser stays usable but the event is gone).
  void feed(std::string_view piece, const std::function<void(const SseEvent&)>& on_event);

  // True when bytes of an unfinished line or event are held (the stream stopped midway).
  bool has_pending() const { return !line_.empty() || !data_.empty() || has_data_; }

 private:
  void take_line(const std::function<void(const SseEvent&)>& on_event);

  const size_t max_event_bytes_;
  std::string line_;
  std::string event_;
  std::string data_;
  bool has_data_ = false;
  bool after_cr_ = false;  // the last byte was "\r": a "\n" right after it ends nothing
};

}  // namespace velko::models
