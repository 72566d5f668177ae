// The one way text is shown inside double quotes in messages and reprs.
#pragma once

#include <string>
#include <string_view>

namespace quorbin::engine {

// Appends `text` (UTF-8) between double quotes: `"` and `\` get a backslash;
// tab, carriage return, line feed and NUL become \t \r \n \0; every other
// character that is not printable becomes \u{hex} (lower-case hex, no
// padding). Printable means what Python's str.isprintable() means: not in the
// categories Cc, Cf, Cs, Co, Cn, Zl, Zp, nor Zs other than the space. A byte
// that does not start a valid UTF-8 sequence is shown as \u{fffd}, so the
// result is always valid UTF-8.
void append_quoted(std::string& out, std::string_view text);
// Call it qualified (engine::quoted) where <iomanip> may be visible: for a
// std::string argument, argument-dependent lookup would prefer std::quoted.
std::string quoted(std::string_view text);

// `"a", "b"` between square brackets: the form of key lists in messages.
template <class Range>
std::string quoted_list(const Range& items) {
  std::string out = "[";
  bool first = true;
  for (const auto& item : items) {
    if (!first) out += ", ";
    first = false;
    append_quoted(out, item);
  }
  out += ']';
  return out;
}

}  // namespace quorbin::engine
