// Python's text forms, as the skills' messages and the front matter's converted values
// show them. Pure functions, thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace velko::middleware::skills {

// `text` as Python's repr() shows a string: in single quotes (double quotes when it holds
// a single quote and no double quote), with backslashes, the quote, controls and
// invisible characters escaped. Invalid UTF-8 bytes show as \xNN.
std::string python_repr(std::string_view text);

namespace yaml {
// The quote python_repr uses for `text`.
char repr_quote(std::string_view text);
// Appends the body of python_repr(text) (without the quotes) for the quote `quote`.
void append_repr_body(std::string& out, std::string_view text, char quote);
}  // namespace yaml

}  // namespace velko::middleware::skills
