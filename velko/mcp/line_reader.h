// Reads newline-terminated lines from a stream buffer in bounded chunks, so that one line
// never costs more memory than the bound however long it is.
//
// A line longer than `max_line` bytes is not kept: next() drops what it buffered of it,
// skips to its newline without holding it, and reports it as too long (with its length).
// A trailing "\r" is removed. The last line of the input needs no newline.
//
// Not thread-safe: one reader per instance. The stream buffer is borrowed.
#pragma once

#include <cstddef>
#include <optional>
#include <streambuf>
#include <string>

namespace velko::mcp {

// The longest JSON-RPC line the server reads (16 MiB).
inline constexpr size_t MAX_LINE_BYTES = 16u << 20;

struct Line {
  std::string text;       // without the newline; empty when too_long
  bool too_long = false;  // longer than the bound: text was dropped
  size_t length = 0;      // the line's length in bytes (also when too long)
};

class LineReader {
 public:
  LineReader(std::streambuf* source, size_t max_line = MAX_LINE_BYTES) : source_(source), max_line_(max_line) {}

  // The next line, or nullopt at the end of the input. Blocks until a whole line (or the
  // end) has been read.
  std::optional<Line> next();

 private:
  // Moves what the stream buffer holds (at least one byte, blocking for it) into chunk_.
  // False at the end of the input.
  bool fill();

  std::streambuf* const source_;
  const size_t max_line_;
  std::string chunk_;  // bytes read but not yet handed out
  size_t chunk_pos_ = 0;
};

}  // namespace velko::mcp
