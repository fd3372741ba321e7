// Text made safe to show: in a system prompt (where a line feed starts a new section and
// an escape sequence can steer what a model or a terminal does) and on a terminal.
// Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace velko::base {

// What printable_text does with line breaks.
enum class LineBreaks {
  kKeep,  // line feeds stay
  kJoin,  // each line feed (and U+2028, U+2029) becomes one space: the text stays on one line
};

// `text` with every C0 control other than tab and line feed, DEL, every C1 control
// (U+0080..U+009F) and every byte that is not valid UTF-8 replaced by U+FFFD; line feeds
// as `line_breaks` says. Everything else, tabs included, is kept byte for byte.
std::string printable_text(std::string_view text, LineBreaks line_breaks = LineBreaks::kKeep);

}  // namespace velko::base
