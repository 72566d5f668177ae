#include "syntax/literals.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/bytestream.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace quorbin::syntax {

namespace {

// ---------------------------------------------------------------- numbers

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// The magnitude class of an out-of-range decimal float: true when it is too
// large (the value becomes inf), false when too small (it becomes 0.0).
// Such a value is beyond 1e308 or below 1e-323, so the position of the first
// significant digit plus the exponent decides without any doubt.
bool decimal_overflows(std::string_view s) {
  // The value is 0.d1d2... * 10^(magnitude + exponent) with d1 its first
  // significant digit.
  int64_t magnitude = 0;
  bool significant = false;
  bool fraction = false;
  size_t i = 0;
  for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
    if (s[i] == '.') {
      fraction = true;
    } else if (!significant && s[i] == '0') {
      if (fraction) --magnitude;
    } else {
      significant = true;
      if (!fraction) ++magnitude;
    }
  }
  int64_t exponent = 0;
  if (i < s.size()) {
    ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    for (; i < s.size(); ++i) {
      if (exponent < (int64_t(1) << 40)) exponent = exponent * 10 + (s[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

double parse_float(std::string_view s) {
  double value = 0.0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    return decimal_overflows(s) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

}  // namespace

const Const* number_constant(std::string_view token, Arena& arena) {
  // Underscores only separate digits; the value never depends on them.
  std::string text;
  text.reserve(token.size());
  for (char c : token)
    if (c != '_') text.push_back(c);
  std::string_view s = text;

  unsigned base = 10;
  if (s.size() >= 2 && s[0] == '0') {
    char p = s[1];
    if (p == 'x' || p == 'X') base = 16;
    else if (p == 'o' || p == 'O') base = 8;
    else if (p == 'b' || p == 'B') base = 2;
    if (base != 10) s.remove_prefix(2);
  }

  if (base == 10) {
    if (!s.empty() && (s.back() == 'j' || s.back() == 'J')) {
      Const* c = arena.constant(ConstKind::Complex);
      c->f = parse_float(s.substr(0, s.size() - 1));
      return c;
    }
    if (s.find_first_of(".eE") != std::string_view::npos) {
      Const* c = arena.constant(ConstKind::Float);
      c->f = parse_float(s);
      return c;
    }
  }

  uint64_t value = 0;
  bool fits = true;
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  for (char ch : s) {
    uint64_t d = static_cast<uint64_t>(digit_value(ch));
    if (value > (kMax - d) / base) {
      fits = false;
      break;
    }
    value = value * base + d;
  }
  if (fits) {
    Const* c = arena.constant(ConstKind::Int);
    c->i = static_cast<int64_t>(value);
    return c;
  }
  Const* c = arena.constant(ConstKind::BigInt);
  c->base = static_cast<uint8_t>(base);
  c->text = arena.str(s);
  return c;
}

// ---------------------------------------------------------------- UTF-8

unsigned decode_utf8(std::string_view text, size_t pos, char32_t& out) {
  if (pos >= text.size()) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + pos;
  const size_t avail = text.size() - pos;
  unsigned char b0 = p[0];
  if (b0 < 0x80) {
    out = b0;
    return 1;
  }
  unsigned len;
  char32_t cp;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;  // continuation byte, overlong 2-byte lead, or beyond U+10FFFF
  }
  if (avail < len) return 0;
  for (unsigned k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  out = cp;
  return len;
}

namespace {

// Lone surrogates are written like any other code point; that is the
// "surrogatepass" form the tree keeps for str constants.
void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// ---------------------------------------------------------------- \N{...}

struct NameAlias {
  std::string_view name;
  char32_t code;
};

constexpr NameAlias kNameAliases[] = {
#include "syntax/unicode_name_aliases.inc"
};

// The interpreter names Hangul syllables by their jamo, matched greedily per
// position (longest first, the earliest on a tie); a null entry ends a column.
constexpr const char* kJamo[][3] = {
    {"G", "A", ""},      {"GG", "AE", "G"},  {"N", "YA", "GG"},  {"D", "YAE", "GS"}, {"DD", "EO", "N"},
    {"R", "E", "NJ"},    {"M", "YEO", "NH"}, {"B", "YE", "D"},   {"BB", "O", "L"},   {"S", "WA", "LG"},
    {"SS", "WAE", "LM"}, {"", "OE", "LB"},   {"J", "YO", "LS"},  {"JJ", "U", "LT"},  {"C", "WEO", "LP"},
    {"K", "WE", "LH"},   {"T", "WI", "M"},   {"P", "YU", "B"},   {"H", "EU", "BS"},  {nullptr, "YI", "S"},
    {nullptr, "I", "SS"}, {nullptr, nullptr, "NG"}, {nullptr, nullptr, "J"}, {nullptr, nullptr, "C"},
    {nullptr, nullptr, "K"}, {nullptr, nullptr, "T"}, {nullptr, nullptr, "P"}, {nullptr, nullptr, "H"},
};
constexpr int kJamoCount[3] = {19, 21, 28};

// Longest jamo of `column` that `s` starts with; its index, or -1.
int match_jamo(std::string_view s, int column, size_t& len) {
  int found = -1;
  long best = -1;
  for (int i = 0; i < kJamoCount[column]; ++i) {
    std::string_view j = kJamo[i][column];
    if (static_cast<long>(j.size()) <= best) continue;
    if (s.substr(0, j.size()) == j) {
      best = static_cast<long>(j.size());
      found = i;
    }
  }
  len = best < 0 ? 0 : static_cast<size_t>(best);
  return found;
}

bool is_unified_ideograph(char32_t c) {
  return (0x3400 <= c && c <= 0x4DBF) || (0x4E00 <= c && c <= 0x9FFF) || (0x20000 <= c && c <= 0x2A6DF) ||
         (0x2A700 <= c && c <= 0x2B739) || (0x2B740 <= c && c <= 0x2B81D) || (0x2B820 <= c && c <= 0x2CEA1) ||
         (0x2CEB0 <= c && c <= 0x2EBE0) || (0x30000 <= c && c <= 0x3134A) || (0x31350 <= c && c <= 0x323AF);
}

// Code points ICU names algorithmically in any letter case. The interpreter
// has no names at all for the Tangut ideographs, and accepts the Hangul and
// unified ideograph names only in upper case (handled before ICU is asked).
bool is_algorithmic_for_icu_only(char32_t c) {
  return (0x17000 <= c && c <= 0x187F7) || (0x18D00 <= c && c <= 0x18D08) ||  // Tangut ideographs
         (0xAC00 <= c && c <= 0xD7A3) || is_unified_ideograph(c);
}

// The code point of a character name as a \N{...} escape accepts it: names
// and their aliases in any letter case, except the algorithmic Hangul and
// unified ideograph names, which must be upper case exactly; named sequences
// are not characters.
bool lookup_character_name(std::string_view name, char32_t& out) {
  if (name.empty() || name.size() > 128) return false;

  if (name.substr(0, 16) == "HANGUL SYLLABLE ") {
    std::string_view rest = name.substr(16);
    size_t len;
    int l = match_jamo(rest, 0, len);
    rest.remove_prefix(len);
    int v = match_jamo(rest, 1, len);
    rest.remove_prefix(len);
    int t = match_jamo(rest, 2, len);
    rest.remove_prefix(len);
    if (l < 0 || v < 0 || t < 0 || !rest.empty()) return false;
    out = 0xAC00 + static_cast<char32_t>((l * 21 + v) * 28 + t);
    return true;
  }

  if (name.substr(0, 22) == "CJK UNIFIED IDEOGRAPH-") {
    std::string_view hex = name.substr(22);
    if (hex.size() != 4 && hex.size() != 5) return false;
    char32_t v = 0;
    for (char c : hex) {
      if (c >= '0' && c <= '9') v = v * 16 + static_cast<char32_t>(c - '0');
      else if (c >= 'A' && c <= 'F') v = v * 16 + static_cast<char32_t>(c - 'A' + 10);
      else return false;
    }
    if (!is_unified_ideograph(v)) return false;
    out = v;
    return true;
  }

  char upper[132];
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    // Names are spelled with ASCII letters, digits, space and hyphen; anything
    // else (a NUL included) can never match.
    if (static_cast<unsigned char>(c) >= 0x80 || c == '\0') return false;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    upper[i] = c;
  }
  upper[name.size()] = '\0';
  std::string_view key(upper, name.size());

  auto it = std::lower_bound(std::begin(kNameAliases), std::end(kNameAliases), key,
                             [](const NameAlias& a, std::string_view k) { return a.name < k; });
  if (it != std::end(kNameAliases) && it->name == key) {
    out = it->code;
    return true;
  }

  UErrorCode status = U_ZERO_ERROR;
  UChar32 c = u_charFromName(U_UNICODE_CHAR_NAME, upper, &status);
  if (U_FAILURE(status) || c < 0) return false;
  if (is_algorithmic_for_icu_only(static_cast<char32_t>(c))) return false;
  out = static_cast<char32_t>(c);
  return true;
}

// ---------------------------------------------------------------- string bodies

// Source text as the interpreter's tokenizer sees it: every CRLF and every
// lone CR already turned into LF. Reads from the original body and maps back
// to its offsets for errors.
class Cursor {
 public:
  explicit Cursor(std::string_view s) : s_(s) {}
  bool done() const { return i_ >= s_.size(); }
  size_t offset() const { return i_; }
  char peek(size_t ahead = 0) const {
    size_t j = i_;
    for (size_t k = 0; k < ahead && j < s_.size(); ++k) j = next(j);
    if (j >= s_.size()) return '\0';
    return s_[j] == '\r' ? '\n' : s_[j];
  }
  bool has(size_t ahead) const {
    size_t j = i_;
    for (size_t k = 0; k < ahead && j < s_.size(); ++k) j = next(j);
    return j < s_.size();
  }
  char get() {
    char c = s_[i_] == '\r' ? '\n' : s_[i_];
    i_ = next(i_);
    return c;
  }
  std::string_view rest() const { return s_.substr(i_); }
  void skip_bytes(size_t n) { i_ += n; }

 private:
  size_t next(size_t j) const {
    if (s_[j] == '\r' && j + 1 < s_.size() && s_[j + 1] == '\n') return j + 2;
    return j + 1;
  }
  std::string_view s_;
  size_t i_ = 0;
};

void copy_translating_newlines(std::string_view body, std::string& out) {
  out.reserve(out.size() + body.size());
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '\r') {
      out.push_back('\n');
      if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
    } else {
      out.push_back(c);
    }
  }
}

bool fail(LiteralError& error, uint32_t offset, std::string message) {
  error.message = std::move(message);
  error.offset = offset;
  return false;
}

std::string unicode_error(size_t start, size_t end, const char* reason) {
  // `end` is exclusive; the codec names the last position included.
  return "(unicode error) 'unicodeescape' codec can't decode bytes in position " + std::to_string(start) + "-" +
         std::to_string(end - 1) + ": " + reason;
}

bool check_utf8(std::string_view body, uint32_t body_offset, LiteralError& error) {
  for (size_t i = 0; i < body.size();) {
    if (static_cast<unsigned char>(body[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t c;
    unsigned n = decode_utf8(body, i, c);
    if (!n) return fail(error, body_offset + static_cast<uint32_t>(i), "invalid UTF-8 in string literal");
    i += n;
  }
  return true;
}

bool decode_bytes(std::string_view body, uint32_t body_offset, std::string& out, LiteralError& error) {
  Cursor cur(body);
  size_t pos = 0;  // position as the escape decoder counts it: newline-translated bytes
  while (!cur.done()) {
    char c = cur.get();
    if (c != '\\') {
      out.push_back(c);
      ++pos;
      continue;
    }
    const size_t escape_offset = cur.offset() - 1;
    const size_t escape_pos = pos;
    if (cur.done()) {  // unreachable from a well-formed token; keep it as written
      out.push_back('\\');
      ++pos;
      break;
    }
    char e = cur.get();
    pos += 2;
    switch (e) {
      case '\n': break;
      case '\\': out.push_back('\\'); break;
      case '\'': out.push_back('\''); break;
      case '"': out.push_back('"'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 't': out.push_back('\t'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 'v': out.push_back('\v'); break;
      case 'a': out.push_back('\a'); break;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
        unsigned v = static_cast<unsigned>(e - '0');
        for (int k = 0; k < 2 && !cur.done() && cur.peek() >= '0' && cur.peek() <= '7'; ++k) {
          v = v * 8 + static_cast<unsigned>(cur.get() - '0');
          ++pos;
        }
        // Above \377 the interpreter warns and keeps the low eight bits.
        out.push_back(static_cast<char>(v & 0xFF));
        break;
      }
      case 'x': {
        int d1 = cur.has(0) ? digit_value(cur.peek(0)) : 99;
        int d2 = cur.has(1) ? digit_value(cur.peek(1)) : 99;
        if (d1 < 16 && d2 < 16) {
          cur.get();
          cur.get();
          pos += 2;
          out.push_back(static_cast<char>(d1 * 16 + d2));
          break;
        }
        return fail(error, body_offset + static_cast<uint32_t>(escape_offset),
                    "(value error) invalid \\x escape at position " + std::to_string(escape_pos));
      }
      default:
        // Unknown escapes stay as written; the character after the backslash
        // is read again as an ordinary one.
        out.push_back('\\');
        out.push_back(e);
        break;
    }
  }
  return true;
}

bool decode_str(std::string_view body, uint32_t body_offset, std::string& out, LiteralError& error) {
  Cursor cur(body);
  // Positions in error messages count what the interpreter's escape decoder
  // reads: the body with each non-ASCII character spelled as a ten-byte
  // \UXXXXXXXX escape, and a backslash before one as the six bytes \u005c.
  size_t pos = 0;
  auto take_non_ascii = [&](void) -> bool {
    char32_t c;
    unsigned n = decode_utf8(cur.rest(), 0, c);
    if (!n) {
      return fail(error, body_offset + static_cast<uint32_t>(cur.offset()), "invalid UTF-8 in string literal");
    }
    out.append(cur.rest().substr(0, n));
    cur.skip_bytes(n);
    pos += 10;
    return true;
  };

  while (!cur.done()) {
    if (static_cast<unsigned char>(cur.peek()) >= 0x80) {
      if (!take_non_ascii()) return false;
      continue;
    }
    char c = cur.get();
    if (c != '\\') {
      out.push_back(c);
      ++pos;
      continue;
    }
    const uint32_t escape_offset = body_offset + static_cast<uint32_t>(cur.offset() - 1);
    const size_t start = pos;
    if (cur.done() || static_cast<unsigned char>(cur.peek()) >= 0x80) {
      out.push_back('\\');
      pos += 6;
      continue;
    }
    char e = cur.get();
    pos += 2;
    int count = 0;
    const char* truncated = nullptr;
    switch (e) {
      case '\n': continue;
      case '\\': out.push_back('\\'); continue;
      case '\'': out.push_back('\''); continue;
      case '"': out.push_back('"'); continue;
      case 'b': out.push_back('\b'); continue;
      case 'f': out.push_back('\f'); continue;
      case 't': out.push_back('\t'); continue;
      case 'n': out.push_back('\n'); continue;
      case 'r': out.push_back('\r'); continue;
      case 'v': out.push_back('\v'); continue;
      case 'a': out.push_back('\a'); continue;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
        char32_t v = static_cast<char32_t>(e - '0');
        for (int k = 0; k < 2 && !cur.done() && cur.peek() >= '0' && cur.peek() <= '7'; ++k) {
          v = v * 8 + static_cast<char32_t>(cur.get() - '0');
          ++pos;
        }
        append_utf8(out, v);  // up to \777; above \377 the interpreter only warns
        continue;
      }
      case 'x': count = 2, truncated = "truncated \\xXX escape"; break;
      case 'u': count = 4, truncated = "truncated \\uXXXX escape"; break;
      case 'U': count = 8, truncated = "truncated \\UXXXXXXXX escape"; break;
      case 'N': {
        const char* malformed = "malformed \\N character escape";
        if (cur.done() || cur.peek() != '{') return fail(error, escape_offset, unicode_error(start, pos, malformed));
        cur.get();
        ++pos;
        // The name runs to the first '}'. Non-ASCII characters inside it are
        // counted in their escaped length and make it unknown. A backslash in
        // it counts as six when its spelling is widened, as anywhere else:
        // followed by a non-ASCII character and not itself the second of a
        // backslash pair.
        std::string name;
        bool non_ascii = false;
        bool paired = false;  // the previous character was a backslash opening a pair
        while (!cur.done() && cur.peek() != '}') {
          if (static_cast<unsigned char>(cur.peek()) >= 0x80) {
            char32_t ch;
            unsigned n = decode_utf8(cur.rest(), 0, ch);
            if (!n) return fail(error, escape_offset, "invalid UTF-8 in string literal");
            cur.skip_bytes(n);
            pos += 10;
            non_ascii = true;
            paired = false;
            continue;
          }
          char ch = cur.get();
          name.push_back(ch);
          if (ch == '\\' && !paired) {
            if (cur.done() || static_cast<unsigned char>(cur.peek()) >= 0x80) {
              pos += 6;
            } else {
              pos += 1;
              paired = true;
            }
            continue;
          }
          paired = false;
          ++pos;
        }
        if (cur.done()) return fail(error, escape_offset, unicode_error(start, pos, malformed));
        if (name.empty() && !non_ascii) return fail(error, escape_offset, unicode_error(start, pos, malformed));
        cur.get();
        ++pos;
        char32_t code;
        if (non_ascii || !lookup_character_name(name, code)) {
          return fail(error, escape_offset, unicode_error(start, pos, "unknown Unicode character name"));
        }
        append_utf8(out, code);
        continue;
      }
      default:
        out.push_back('\\');
        out.push_back(e);
        continue;
    }

    char32_t v = 0;
    for (int k = 0; k < count; ++k) {
      int d = cur.done() ? 99 : digit_value(cur.peek());
      if (d >= 16) return fail(error, escape_offset, unicode_error(start, pos, truncated));
      cur.get();
      ++pos;
      v = v * 16 + static_cast<char32_t>(d);
    }
    if (v > 0x10FFFF) return fail(error, escape_offset, unicode_error(start, pos, "illegal Unicode character"));
    append_utf8(out, v);
  }
  return true;
}

}  // namespace

bool decode_string_body(std::string_view body, uint32_t body_offset, bool raw, bool bytes, std::string& out,
                        LiteralError& error) {
  out.clear();
  if (bytes) {
    for (size_t i = 0; i < body.size(); ++i) {
      if (static_cast<unsigned char>(body[i]) >= 0x80) {
        return fail(error, body_offset + static_cast<uint32_t>(i), "bytes can only contain ASCII literal characters");
      }
    }
  }
  if (raw || body.find('\\') == std::string_view::npos) {
    if (!bytes && !check_utf8(body, body_offset, error)) return false;
    copy_translating_newlines(body, out);
    return true;
  }
  out.reserve(body.size());
  return bytes ? decode_bytes(body, body_offset, out, error) : decode_str(body, body_offset, out, error);
}

// ---------------------------------------------------------------- identifiers

bool is_identifier_start(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_XID_START);
}

bool is_identifier_continue(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_XID_CONTINUE);
}

std::string normalize_identifier(std::string_view text) {
  bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return std::string(text);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  if (U_FAILURE(status)) return std::string(text);
  std::string result;
  icu::StringByteSink<std::string> sink(&result, static_cast<int32_t>(text.size()));
  nfkc->normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink, nullptr, status);
  if (U_FAILURE(status)) return std::string(text);
  return result;
}

}  // namespace quorbin::syntax
