#include "engine/quote.h"

#include <unicode/uchar.h>

namespace quorbin::engine {
namespace {

bool printable(char32_t c) {
  if (c == U' ') return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:          // Cc
    case U_FORMAT_CHAR:           // Cf
    case U_SURROGATE:             // Cs
    case U_PRIVATE_USE_CHAR:      // Co
    case U_UNASSIGNED:            // Cn
    case U_LINE_SEPARATOR:        // Zl
    case U_PARAGRAPH_SEPARATOR:   // Zp
    case U_SPACE_SEPARATOR:       // Zs
      return false;
    default:
      return true;
  }
}

// Length of the valid UTF-8 sequence at `pos` (1 to 4) with its code point,
// or 0 for an invalid one (overlong, surrogate, out of range, truncated).
unsigned decode_utf8(std::string_view text, size_t pos, char32_t& out) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[pos + k]); };
  const unsigned char b0 = byte(0);
  unsigned length;
  char32_t c;
  if (b0 < 0x80) {
    out = b0;
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    c = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    c = b0 & 0x07;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (unsigned k = 1; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(k) & 0x3F);
  }
  if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
      (c >= 0xD800 && c <= 0xDFFF)) {
    return 0;
  }
  out = c;
  return length;
}

void append_hex_escape(std::string& out, char32_t c) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char buffer[8];
  int n = 0;
  do {
    buffer[n++] = kDigits[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (n > 0) out += buffer[--n];
  out += '}';
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\0': out += "\\0"; break;
        default:
          if (b < 0x20 || b == 0x7F) {
            append_hex_escape(out, b);
          } else {
            out += static_cast<char>(b);
          }
      }
      ++i;
      continue;
    }
    char32_t c = 0;
    const unsigned length = decode_utf8(text, i, c);
    if (length == 0) {
      append_hex_escape(out, 0xFFFD);
      ++i;
      continue;
    }
    if (printable(c)) {
      out.append(text.substr(i, length));
    } else {
      append_hex_escape(out, c);
    }
    i += length;
  }
  out += '"';
}

std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace quorbin::engine
