#include "velko/mcp/line_reader.h"

#include <algorithm>
#include <cstring>

namespace velko::mcp {
namespace {
constexpr std::streamsize CHUNK_BYTES = 64 * 1024;
}  // namespace

bool LineReader::fill() {
  chunk_.clear();
  chunk_pos_ = 0;
  if (source_->sgetc() == std::char_traits<char>::eof()) return false;  // blocks for input
  std::streamsize available = std::clamp<std::streamsize>(source_->in_avail(), 1, CHUNK_BYTES);
  chunk_.resize(static_cast<size_t>(available));
  std::streamsize got = source_->sgetn(chunk_.data(), available);
  chunk_.resize(static_cast<size_t>(std::max<std::streamsize>(got, 0)));
  return !chunk_.empty();
}

std::optional<Line> LineReader::next() {
  Line line;
  bool any = false;
  while (true) {
    if (chunk_pos_ >= chunk_.size() && !fill()) {
      if (!any) return std::nullopt;
      break;  // the last line, without a newline
    }
    any = true;
    const char* begin = chunk_.data() + chunk_pos_;
    size_t rest = chunk_.size() - chunk_pos_;
    const void* newline = std::memchr(begin, '\n', rest);
    size_t take = newline ? static_cast<size_t>(static_cast<const char*>(newline) - begin) : rest;
    line.length += take;
    if (!line.too_long) {
      if (line.length > max_line_ + 1) {  // +1: room for a "\r" before the newline
        line.too_long = true;
        std::string().swap(line.text);
      } else {
        line.text.append(begin, take);
      }
    }
    chunk_pos_ += take + (newline ? 1 : 0);
    if (newline) break;
  }
  if (!line.too_long && !line.text.empty() && line.text.back() == '\r') {
    line.text.pop_back();
    line.length -= 1;
  }
  if (!line.too_long && line.length > max_line_) {
    line.too_long = true;
    std::string().swap(line.text);
  }
  return line;
}

}  // namespace velko::mcp
