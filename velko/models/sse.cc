#include "velko/models/sse.h"

#include "velko/base/errors.h"

namespace velko::models {

void SseParser::take_line(const std::function<void(const SseEvent&)>& on_event) {
  std::string line = std::move(line_);
  line_.clear();
  if (line.empty()) {
    if (has_data_) {
      SseEvent event{std::move(event_), std::move(data_)};
      event_.clear();
      data_.clear();
      has_data_ = false;
      on_event(event);
    } else {
      event_.clear();
    }
    return;
  }
  if (line[0] == ':') return;
  size_t colon = line.find(':');
  std::string_view field = std::string_view(line).substr(0, colon);
  std::string_view value;
  if (colon != std::string::npos) {
    value = std::string_view(line).substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.remove_prefix(1);
  }
  if (field == "event") {
    event_ = std::string(value);
  } else if (field == "data") {
    if (has_data_) data_ += '\n';
    data_.append(value);
    has_data_ = true;
    if (data_.size() > max_event_bytes_) {
      throw base::ValueError("An event of the stream is larger than " + std::to_string(max_event_bytes_) + " bytes");
    }
  }
}

void SseParser::feed(std::string_view piece, const std::function<void(const SseEvent&)>& on_event) {
  size_t pos = 0;
  while (pos < piece.size()) {
    if (after_cr_ && piece[pos] == '\n') {
      after_cr_ = false;
      ++pos;
      continue;
    }
    after_cr_ = false;
    size_t end = piece.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
      line_.append(piece.substr(pos));
      if (line_.size() > max_event_bytes_) {
        throw base::ValueError("A line of the stream is longer than " + std::to_string(max_event_bytes_) + " bytes");
      }
      return;
    }
    line_.append(piece.substr(pos, end - pos));
    if (line_.size() > max_event_bytes_) {
      throw base::ValueError("A line of the stream is longer than " + std::to_string(max_event_bytes_) + " bytes");
    }
    after_cr_ = piece[end] == '\r';
    pos = end + 1;
    take_line(on_event);
  }
}

}  // namespace velko::models
