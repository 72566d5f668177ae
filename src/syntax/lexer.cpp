#include "syntax/lexer.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "syntax/literals.h"

namespace quorbin::syntax {

const char* describe(Tok kind) {
  static const char* const names[] = {
#define QUORBIN_T(name, text) text,
      QUORBIN_TOKENS(QUORBIN_T)
#undef QUORBIN_T
  };
  return names[static_cast<unsigned>(kind)];
}

namespace {

// The interpreter's limits: deeper input is refused with its messages.
constexpr int kMaxIndent = 100;
constexpr int kMaxLevel = 200;
constexpr size_t kMaxFStringModes = 150;
// Replacement fields open at once inside one f-string ({x:{y:{z}}} is the deepest).
constexpr int kMaxFields = 3;
constexpr int kTabSize = 8;

struct Field {
  int open_level;  // bracket level just before the field's '{'
  bool in_spec;    // scanning the format spec (literal text) rather than the expression
};

struct FString {
  uint32_t start;  // offset of the prefix
  char quote;
  uint8_t quote_size;
  bool raw;
  int nfields;
  Field fields[kMaxFields];
};

// Character classes of ASCII bytes by table: the word loop asks per byte.
enum : uint8_t { kIdentStart = 1, kIdentChar = 2 };
constexpr auto kAsciiClass = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 128; ++c) {
    const bool start = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    t[c] = (start ? kIdentStart | kIdentChar : 0) | ((c >= '0' && c <= '9') ? kIdentChar : 0);
  }
  return t;
}();
// The length of the run of ASCII identifier characters at p. Reads whole
// 16-byte blocks, so p must stay readable 16 bytes past the run's end (the
// lexer's padding guarantees it: the NUL after the source ends every run).
inline size_t ascii_ident_run(const unsigned char* p) {
#if defined(__SSE2__)
  const __m128i case_bit = _mm_set1_epi8(0x20), underscore = _mm_set1_epi8('_');
  const __m128i to_letters = _mm_set1_epi8(static_cast<char>(128 - 'a'));
  const __m128i letters = _mm_set1_epi8(static_cast<char>(-128 + 26));
  const __m128i to_digits = _mm_set1_epi8(static_cast<char>(128 - '0'));
  const __m128i digits = _mm_set1_epi8(static_cast<char>(-128 + 10));
  for (size_t n = 0;; n += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n));
    // Ranges by shifting them to the bottom of the signed byte range.
    const __m128i letter = _mm_cmplt_epi8(_mm_add_epi8(_mm_or_si128(v, case_bit), to_letters), letters);
    const __m128i digit = _mm_cmplt_epi8(_mm_add_epi8(v, to_digits), digits);
    const __m128i ok = _mm_or_si128(_mm_or_si128(letter, digit), _mm_cmpeq_epi8(v, underscore));
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(ok));
    if (mask != 0xFFFF) return n + static_cast<size_t>(__builtin_ctz(~mask));
  }
#else
  size_t n = 0;
  while (kAsciiClass[p[n]] & kIdentChar) ++n;
  return n;
#endif
}

// c is a byte or -1 (end of input).
bool ascii_ident_start(int c) { return c >= 0 && (kAsciiClass[static_cast<unsigned>(c)] & kIdentStart); }
bool ascii_ident_char(int c) { return c >= 0 && (kAsciiClass[static_cast<unsigned>(c)] & kIdentChar); }

// Keywords are 2 to 8 bytes, so a word of that length packs into one
// integer and the lookup is a few integer comparisons among the keywords of
// its length (scanning the whole table per name was a visible part of
// tokenizing).
constexpr uint64_t pack(std::string_view w) {
  uint64_t v = 0;
  for (size_t i = 0; i < w.size(); ++i) v |= uint64_t(static_cast<unsigned char>(w[i])) << (8 * i);
  return v;
}

struct Keyword {
  uint64_t packed;
  Tok kind;
};
constexpr Keyword kw(std::string_view text, Tok kind) { return {pack(text), kind}; }

constexpr Keyword kLength2[] = {kw("as", Tok::KwAs), kw("if", Tok::KwIf), kw("in", Tok::KwIn), kw("is", Tok::KwIs),
                                kw("or", Tok::KwOr)};
constexpr Keyword kLength3[] = {kw("and", Tok::KwAnd), kw("def", Tok::KwDef), kw("del", Tok::KwDel),
                                kw("for", Tok::KwFor), kw("not", Tok::KwNot), kw("try", Tok::KwTry)};
constexpr Keyword kLength4[] = {kw("None", Tok::KwNone), kw("True", Tok::KwTrue), kw("elif", Tok::KwElif),
                                kw("else", Tok::KwElse), kw("from", Tok::KwFrom), kw("pass", Tok::KwPass),
                                kw("with", Tok::KwWith)};
constexpr Keyword kLength5[] = {kw("False", Tok::KwFalse), kw("async", Tok::KwAsync), kw("await", Tok::KwAwait),
                                kw("break", Tok::KwBreak), kw("class", Tok::KwClass), kw("raise", Tok::KwRaise),
                                kw("while", Tok::KwWhile), kw("yield", Tok::KwYield)};
constexpr Keyword kLength6[] = {kw("assert", Tok::KwAssert), kw("except", Tok::KwExcept), kw("global", Tok::KwGlobal),
                                kw("import", Tok::KwImport), kw("lambda", Tok::KwLambda), kw("return", Tok::KwReturn)};
constexpr Keyword kLength7[] = {kw("finally", Tok::KwFinally)};
constexpr Keyword kLength8[] = {kw("continue", Tok::KwContinue), kw("nonlocal", Tok::KwNonlocal)};

template <size_t N>
Tok find_keyword(const Keyword (&table)[N], uint64_t packed) {
  for (const Keyword& k : table)
    if (k.packed == packed) return k.kind;
  return Tok::Name;
}

Tok keyword_or_name(std::string_view word) {
  if (word.size() < 2 || word.size() > 8) return Tok::Name;
  uint64_t packed = 0;
  if constexpr (std::endian::native == std::endian::little) std::memcpy(&packed, word.data(), word.size());
  else packed = pack(word);
  switch (word.size()) {
    case 2: return find_keyword(kLength2, packed);
    case 3: return find_keyword(kLength3, packed);
    case 4: return find_keyword(kLength4, packed);
    case 5: return find_keyword(kLength5, packed);
    case 6: return find_keyword(kLength6, packed);
    case 7: return find_keyword(kLength7, packed);
    default: return find_keyword(kLength8, packed);
  }
}

// Bytes the lexer may read past the end of the source: every read stays
// within a few bytes of the last one that was checked.
constexpr size_t kPadding = 16;

// Bytes that end a run of ordinary characters in a string body, in a comment.
constexpr auto kStringStop = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : {'\0', '\n', '\r', '\\', '\'', '"'}) t[c] = true;
  return t;
}();

class Lexer {
 public:
  // `source` must be followed by kPadding NUL bytes: the hot loops stop at
  // the first NUL instead of checking the bounds before every byte. The
  // source itself holds no NUL (refused before lexing); if it did, the NUL
  // would be an invalid character like any other.
  Lexer(std::string_view source, std::vector<Token>& out, LexError& error)
      : s_(source), p_(reinterpret_cast<const unsigned char*>(source.data())), out_(out), err_(error) {
    indstack_[0] = altstack_[0] = 0;
  }

  void run() {
    while (!failed_) {
      if (!fstrings_.empty() && literal_mode()) {
        fstring_text();
        continue;
      }
      if (at_bol_) {
        at_bol_ = false;
        indentation();
        continue;
      }
      size_t i = pos_;
      while (p_[i] == ' ' || p_[i] == '\t' || p_[i] == '\f') ++i;
      pos_ = i;
      int c = ch(i);
      if (c == '#') {
        while (p_[i] != '\n' && p_[i] != '\r' && !(p_[i] == 0 && i >= s_.size())) ++i;
        pos_ = i;
        continue;
      }
      if (c == -1) {
        finish();
        return;
      }
      if (size_t n = newline_at(pos_)) {
        const size_t at = pos_;
        pos_ += n;
        if (level_ == 0) {
          if (line_has_tokens_) emit(Tok::Newline, at, pos_);
          line_has_tokens_ = false;
          at_bol_ = true;
        }
        continue;
      }
      if (c == '\\') {
        if (!continuation()) return;
        continue;
      }
      line_has_tokens_ = true;
      token();
    }
  }

 private:
  std::string_view s_;
  const unsigned char* p_;  // s_'s bytes, then the NUL padding
  size_t pos_ = 0;
  std::vector<Token>& out_;
  LexError& err_;
  bool failed_ = false;
  bool at_bol_ = true;
  bool line_has_tokens_ = false;
  int indent_ = 0;
  int indstack_[kMaxIndent + 1];
  int altstack_[kMaxIndent + 1];
  int level_ = 0;
  char parens_[kMaxLevel];
  uint32_t paren_at_[kMaxLevel];
  std::vector<FString> fstrings_;

  // The byte at i, or -1 at and past the end. Valid up to kPadding bytes past it.
  int ch(size_t i) const {
    const int c = p_[i];
    return c != 0 || i < s_.size() ? c : -1;
  }
  size_t newline_at(size_t i) const {
    int c = ch(i);
    if (c == '\n') return 1;
    if (c == '\r') return ch(i + 1) == '\n' ? 2 : 1;
    return 0;
  }
  void emit(Tok kind, size_t a, size_t b) {
    out_.push_back(Token{static_cast<uint32_t>(a), static_cast<uint32_t>(b), kind});
  }
  void fail(std::string message, size_t at) {
    if (failed_) return;
    failed_ = true;
    err_.message = std::move(message);
    err_.offset = static_cast<uint32_t>(at);
    emit(Tok::Error, at, at);
  }
  // The line an error is detected on. At the end of the input it is the
  // line of the last character: a line end there starts no further line, as
  // in the interpreter's tokenizer ('abc\ and a line end is line 1).
  unsigned line_of(size_t at) const {
    if (at >= s_.size() && !s_.empty()) at = s_.size() - 1;
    unsigned line = 1;
    for (size_t i = 0; i < at && i < s_.size(); ++i) {
      if (s_[i] == '\n') ++line;
      else if (s_[i] == '\r' && (i + 1 >= s_.size() || s_[i + 1] != '\n')) ++line;
    }
    return line;
  }

  bool literal_mode() const {
    const FString& f = fstrings_.back();
    return f.nfields == 0 || f.fields[f.nfields - 1].in_spec;
  }
  // The replacement field whose expression is being scanned, if any.
  Field* expr_field() {
    if (fstrings_.empty()) return nullptr;
    FString& f = fstrings_.back();
    if (f.nfields == 0 || f.fields[f.nfields - 1].in_spec) return nullptr;
    return &f.fields[f.nfields - 1];
  }

  // ---------------------------------------------------------------- lines

  void indentation() {
    int col = 0, altcol = 0, cont_col = 0;
    for (;;) {
      if (p_[pos_] == ' ') {  // the common case, without the checks below
        ++col, ++altcol, ++pos_;
        continue;
      }
      int c = ch(pos_);
      if (c == ' ') {
        ++col, ++altcol;
      } else if (c == '\t') {
        col = (col / kTabSize + 1) * kTabSize;
        ++altcol;
      } else if (c == '\f') {
        col = altcol = 0;
      } else if (c == '\\' && newline_at(pos_ + 1)) {
        // Indentation cannot be split over physical lines: the first
        // continuation decides the level.
        cont_col = cont_col ? cont_col : col;
        pos_ += 1 + newline_at(pos_ + 1);
        if (ch(pos_) == -1) return fail("unexpected end of input after line continuation character", pos_);
        continue;
      } else {
        break;
      }
      ++pos_;
    }
    const int c = ch(pos_);
    if (c == '#' || c == -1 || newline_at(pos_)) return;  // blank lines leave the indentation alone
    if (cont_col) col = altcol = cont_col;
    if (col == indstack_[indent_]) {
      if (altcol != altstack_[indent_]) return tab_error();
    } else if (col > indstack_[indent_]) {
      if (indent_ + 1 >= kMaxIndent) return fail("too many levels of indentation", pos_);
      if (altcol <= altstack_[indent_]) return tab_error();
      ++indent_;
      indstack_[indent_] = col;
      altstack_[indent_] = altcol;
      emit(Tok::Indent, pos_, pos_);
    } else {
      while (indent_ > 0 && col < indstack_[indent_]) {
        --indent_;
        emit(Tok::Dedent, pos_, pos_);
      }
      if (col != indstack_[indent_]) return fail("unindent does not match any outer indentation level", pos_);
      if (altcol != altstack_[indent_]) return tab_error();
    }
  }
  void tab_error() { fail("inconsistent use of tabs and spaces in indentation", pos_); }

  bool continuation() {
    const size_t at = pos_;
    if (ch(pos_ + 1) == -1) {
      fail("unexpected end of input after line continuation character", at);
      return false;
    }
    size_t n = newline_at(pos_ + 1);
    if (!n) {
      fail("unexpected character after line continuation character", at + 1);
      return false;
    }
    pos_ += 1 + n;
    if (ch(pos_) == -1) {
      fail("unexpected end of input after line continuation character", pos_);
      return false;
    }
    return true;
  }

  void finish() {
    if (!fstrings_.empty()) {
      const FString& f = fstrings_.back();
      return fail(f.quote_size == 3 ? "unterminated triple-quoted f-string literal" : "unterminated f-string literal",
                  f.start);
    }
    if (level_ > 0) {
      char msg[64];
      std::snprintf(msg, sizeof msg, "unexpected end of input: '%c' was never closed", parens_[level_ - 1]);
      return fail(msg, paren_at_[level_ - 1]);  // the bracket left open, as the interpreter points
    }
    if (line_has_tokens_) emit(Tok::Newline, pos_, pos_);
    while (indent_ > 0) {
      --indent_;
      emit(Tok::Dedent, pos_, pos_);
    }
    emit(Tok::EndMarker, pos_, pos_);
  }

  // ---------------------------------------------------------------- tokens

  void token() {
    const size_t start = pos_;
    const int c = ch(pos_);
    if (ascii_ident_start(c) || c >= 0x80) return word(start);
    if (c >= '0' && c <= '9') return number(start);
    if (c == '.' && ch(pos_ + 1) >= '0' && ch(pos_ + 1) <= '9') return number(start);
    if (c == '"' || c == '\'') return string(start, start, false, false, false);
    return op(start);
  }

  void word(size_t start) {
    size_t i = start + ascii_ident_run(p_ + start);
    // A string prefix is one or two letters directly before a quote: one of
    // b, r, u, f, or r with b or f, in either order and either case.
    if ((p_[i] == '"' || p_[i] == '\'') && i - start <= 2) {
      const int a = p_[start] | 0x20, b = i - start == 2 ? p_[start + 1] | 0x20 : 0;
      const bool one = b == 0 && (a == 'b' || a == 'r' || a == 'u' || a == 'f');
      const bool two = (a == 'r' && (b == 'b' || b == 'f')) || (b == 'r' && (a == 'b' || a == 'f'));
      if (one || two) return string(start, i, a == 'f' || b == 'f', a == 'r' || b == 'r', a == 'b' || b == 'b');
    }
    bool ascii = true;
    for (bool first = i == start;; first = false) {
      int c = ch(i);
      if (ascii_ident_char(c)) {
        ++i;
        continue;
      }
      if (c < 0x80) break;
      char32_t cp = 0;
      unsigned n = decode_utf8(s_, i, cp);
      if (n == 0) return fail("invalid UTF-8 in source", i);
      if (!(first ? is_identifier_start(cp) : is_identifier_continue(cp))) {
        if (first) return invalid_character(i, cp);
        break;
      }
      ascii = false;
      i += n;
    }
    pos_ = i;
    if (ascii) return emit(keyword_or_name(s_.substr(start, i - start)), start, i);
    out_.push_back(Token{static_cast<uint32_t>(start), static_cast<uint32_t>(i), Tok::Name, true});
  }

  void invalid_character(size_t at, char32_t cp) {
    char msg[96];
    if (cp >= 0x80 && cp != 0xFEFF && !(cp >= 0x200B && cp <= 0x200F) && !(cp >= 0x2028 && cp <= 0x202E) &&
        !(cp >= 0x80 && cp < 0xA0))
      std::snprintf(msg, sizeof msg, "invalid character '%.*s' (U+%04X)", static_cast<int>(utf8_len(at)),
                    s_.data() + at, static_cast<unsigned>(cp));
    else if (cp >= 0x80 || cp < 0x20 || cp == 0x7F)
      std::snprintf(msg, sizeof msg, "invalid non-printable character U+%04X", static_cast<unsigned>(cp));
    else
      std::snprintf(msg, sizeof msg, "invalid character '%c' (U+%04X)", static_cast<char>(cp),
                    static_cast<unsigned>(cp));
    fail(msg, at);
  }
  size_t utf8_len(size_t at) const {
    char32_t cp;
    unsigned n = decode_utf8(s_, at, cp);
    return n ? n : 1;
  }

  // ---------------------------------------------------------------- numbers

  bool digits(bool (*is_digit)(int), const char* kind) {
    // One or more digits with single underscores between them.
    for (;;) {
      while (is_digit(ch(pos_))) ++pos_;
      if (ch(pos_) != '_') return true;
      ++pos_;
      if (!is_digit(ch(pos_))) {
        invalid_literal(kind, pos_);
        return false;
      }
    }
  }
  static bool is_dec(int c) { return c >= '0' && c <= '9'; }
  static bool is_hex(int c) { return is_dec(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
  static bool is_oct(int c) { return c >= '0' && c <= '7'; }
  static bool is_bin(int c) { return c == '0' || c == '1'; }

  void invalid_literal(const char* kind, size_t at) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "invalid %s literal", kind);
    fail(msg, at);
  }

  // A number may be followed directly by a keyword that can follow it in
  // valid code ("1if x else y"); any other identifier character is an error.
  bool end_of_number(const char* kind) {
    const int c = ch(pos_);
    auto ahead = [&](const char* rest) {
      size_t n = std::strlen(rest);
      return s_.substr(pos_ + 1, n) == std::string_view(rest, n);
    };
    bool keyword = false;
    if (c == 'a') keyword = ahead("nd");
    else if (c == 'e') keyword = ahead("lse");
    else if (c == 'f') keyword = ahead("or");
    else if (c == 'i') keyword = ch(pos_ + 1) == 'f' || ch(pos_ + 1) == 'n' || ch(pos_ + 1) == 's';
    else if (c == 'o') keyword = ahead("r");
    else if (c == 'n') keyword = ahead("ot");
    if (keyword) return true;
    if (c >= 0 && c < 0x80 && ascii_ident_char(c)) {
      invalid_literal(kind, pos_);
      return false;
    }
    return true;
  }

  void number(size_t start) {
    int c = ch(pos_);
    if (c == '0' && (ch(pos_ + 1) == 'x' || ch(pos_ + 1) == 'X' || ch(pos_ + 1) == 'o' || ch(pos_ + 1) == 'O' ||
                     ch(pos_ + 1) == 'b' || ch(pos_ + 1) == 'B')) {
      const int p = ch(pos_ + 1) | 0x20;
      bool (*is_digit)(int) = p == 'x' ? is_hex : p == 'o' ? is_oct : is_bin;
      const char* kind = p == 'x' ? "hexadecimal" : p == 'o' ? "octal" : "binary";
      pos_ += 2;
      if (ch(pos_) == '_') ++pos_;
      if (!is_digit(ch(pos_))) {
        if (p != 'x' && is_dec(ch(pos_))) return invalid_digit(kind, pos_);
        return invalid_literal(kind, pos_);
      }
      if (!digits(is_digit, kind)) return;
      if (p != 'x' && is_dec(ch(pos_))) return invalid_digit(kind, pos_);
      if (!end_of_number(kind)) return;
      return emit(Tok::Number, start, pos_);
    }
    bool is_float = false;
    if (c == '.') {
      is_float = true;
    } else {
      const bool leading_zero = c == '0';
      if (!digits(is_dec, "decimal")) return;
      if (leading_zero) {
        bool nonzero = false;
        for (size_t i = start; i < pos_; ++i) nonzero |= s_[i] >= '1' && s_[i] <= '9';
        const int n = ch(pos_);
        if (nonzero && n != '.' && n != 'e' && n != 'E' && n != 'j' && n != 'J') {
          return fail("leading zeros in decimal integer literals are not permitted; use an 0o prefix for octal "
                      "integers",
                      start);
        }
      }
      if (ch(pos_) == '.') is_float = true;
    }
    if (is_float) {
      ++pos_;  // the '.'
      if (is_dec(ch(pos_)) && !digits(is_dec, "decimal")) return;
    }
    c = ch(pos_);
    if (c == 'e' || c == 'E') {
      size_t e = pos_;
      int n = ch(e + 1);
      if (n == '+' || n == '-') n = ch(e + 2), ++e;
      if (is_dec(n)) {
        pos_ = e + 1;
        if (!digits(is_dec, "decimal")) return;
      } else {
        // "1else" is a number followed by a keyword; "1e" alone is an error.
        if (!end_of_number("decimal")) return;
        return emit(Tok::Number, start, pos_);
      }
    }
    c = ch(pos_);
    if (c == 'j' || c == 'J') {
      ++pos_;
      if (!end_of_number("imaginary")) return;
    } else if (!end_of_number("decimal")) {
      return;
    }
    emit(Tok::Number, start, pos_);
  }
  void invalid_digit(const char* kind, size_t at) {
    char msg[64];
    std::snprintf(msg, sizeof msg, "invalid digit '%c' in %s literal", s_[at], kind);
    fail(msg, at);
  }

  // ---------------------------------------------------------------- strings

  void string(size_t start, size_t quote_at, bool f, bool raw, bool bytes) {
    const char quote = s_[quote_at];
    const uint8_t qs = (ch(quote_at + 1) == quote && ch(quote_at + 2) == quote) ? 3 : 1;
    size_t i = quote_at + qs;
    if (f) {
      // The interpreter keeps at most 150 tokenizer modes, the plain one
      // included, so the 150th nested f-string is one too many.
      if (fstrings_.size() + 1 >= kMaxFStringModes) return fail("too many nested f-strings", start);
      FString fs{};
      fs.start = static_cast<uint32_t>(start);
      fs.quote = quote;
      fs.quote_size = qs;
      fs.raw = raw;
      fstrings_.push_back(fs);
      pos_ = i;
      return emit(Tok::FStringStart, start, i);
    }
    for (;;) {
      while (!kStringStop[p_[i]]) ++i;
      int c = ch(i);
      if (c == -1) return unterminated_string(start, qs, i);
      if (c == '\\') {
        if (ch(i + 1) == -1) return unterminated_string(start, qs, i + 1);
        size_t n = newline_at(i + 1);
        i += 1 + (n ? n : 1);
        continue;
      }
      if (size_t n = newline_at(i)) {
        if (qs == 1) return unterminated_string(start, qs, i);
        i += n;
        continue;
      }
      if (c == quote) {
        if (qs == 1) {
          ++i;
          break;
        }
        if (ch(i + 1) == quote && ch(i + 2) == quote) {
          i += 3;
          break;
        }
      }
      ++i;
    }
    pos_ = i;
    emit(Tok::String, start, i);
  }
  void unterminated_string(size_t start, int qs, size_t at) {
    char msg[96];
    std::snprintf(msg, sizeof msg, "unterminated %sstring literal (detected at line %u)",
                  qs == 3 ? "triple-quoted " : "", line_of(at));
    fail(msg, start);
  }

  // Literal text of an f-string, or of a format spec. Mirrors where the
  // interpreter's tokenizer cuts its FSTRING_MIDDLE tokens, because those
  // cuts decide the positions of the constants.
  void fstring_text() {
    FString& f = fstrings_.back();
    const bool in_spec = f.nfields > 0;
    const size_t start = pos_;
    if (ch(pos_) == '{' && ch(pos_ + 1) != '{') return open_field(f);
    bool at_end = true;
    for (int q = 0; q < f.quote_size; ++q) at_end &= ch(pos_ + q) == f.quote;
    if (at_end) {
      pos_ += f.quote_size;
      emit(Tok::FStringEnd, start, pos_);
      fstrings_.pop_back();
      return;
    }
    int end_quotes = 0;
    bool unicode_escape = false;
    size_t i = pos_;
    while (end_quotes != f.quote_size) {
      const int c = ch(i);
      const size_t nl = newline_at(i);
      if (c == -1 || (f.quote_size == 1 && nl)) {
        if (in_spec && nl) {
          // A single-quoted format spec ends at the line end; the
          // expression scanner reports what follows.
          emit(Tok::FStringMiddle, start, i);
          pos_ = i;
          f.fields[f.nfields - 1].in_spec = false;
          return;
        }
        char msg[96];
        std::snprintf(msg, sizeof msg, "unterminated %sf-string literal (detected at line %u)",
                      f.quote_size == 3 ? "triple-quoted " : "", line_of(i));
        return fail(msg, f.start);
      }
      if (c == f.quote) {
        ++end_quotes;
        ++i;
        continue;
      }
      end_quotes = 0;
      if (c == '{') {
        if (ch(i + 1) != '{' || in_spec) {
          emit(Tok::FStringMiddle, start, i);
          pos_ = i;
          return open_field(f);
        }
        // The range covers both braces; the parser keeps one in the value.
        emit(Tok::FStringMiddle, start, i + 2);
        pos_ = i + 2;
        return;
      }
      if (c == '}') {
        if (unicode_escape) {
          emit(Tok::FStringMiddle, start, i + 1);
          pos_ = i + 1;
          return;
        }
        if (ch(i + 1) == '}' && !in_spec) {
          emit(Tok::FStringMiddle, start, i + 2);
          pos_ = i + 2;
          return;
        }
        emit(Tok::FStringMiddle, start, i);
        pos_ = i;
        if (!in_spec) return fail("f-string: single '}' is not allowed", i);
        f.fields[f.nfields - 1].in_spec = false;  // the expression scanner closes the field
        return;
      }
      if (c == '\\') {
        const int peek = ch(i + 1);
        if (peek == '{' || peek == '}') {
          ++i;
          continue;
        }
        if (!f.raw && peek == 'N' && ch(i + 2) == '{') {
          unicode_escape = true;
          i += 3;
          continue;
        }
        if (peek == -1) {
          ++i;
          continue;
        }
        const size_t n = newline_at(i + 1);
        i += 1 + (n ? n : 1);
        continue;
      }
      i += nl ? nl : 1;
    }
    i -= f.quote_size;
    emit(Tok::FStringMiddle, start, i);
    pos_ = i;
  }

  void open_field(FString& f) {
    if (f.nfields >= kMaxFields) return fail("f-string: expressions nested too deeply", pos_);
    f.fields[f.nfields++] = Field{level_, false};
  }

  // ---------------------------------------------------------------- operators

  bool open_bracket(char c, size_t at) {
    if (level_ >= kMaxLevel) {
      fail("too many nested parentheses", at);
      return false;
    }
    parens_[level_] = c;
    paren_at_[level_] = static_cast<uint32_t>(at);
    ++level_;
    return true;
  }
  bool close_bracket(char c, size_t at) {
    if (level_ == 0) {
      char msg[32];
      std::snprintf(msg, sizeof msg, "unmatched '%c'", c);
      fail(msg, at);
      return false;
    }
    const char open = parens_[level_ - 1];
    if (!((open == '(' && c == ')') || (open == '[' && c == ']') || (open == '{' && c == '}'))) {
      char msg[96];
      std::snprintf(msg, sizeof msg, "closing parenthesis '%c' does not match opening parenthesis '%c'", c, open);
      fail(msg, at);
      return false;
    }
    --level_;
    return true;
  }

  void op(size_t start) {
    const int c = ch(pos_), c2 = ch(pos_ + 1), c3 = ch(pos_ + 2);
    Field* field = expr_field();
    const bool field_top = field && level_ == field->open_level + 1;
    auto one = [&](Tok k) {
      pos_ += 1;
      emit(k, start, pos_);
    };
    auto two = [&](Tok k) {
      pos_ += 2;
      emit(k, start, pos_);
    };
    auto three = [&](Tok k) {
      pos_ += 3;
      emit(k, start, pos_);
    };
    switch (c) {
      case '(':
      case '[':
      case '{':
        if (!open_bracket(static_cast<char>(c), start)) return;
        return one(c == '(' ? Tok::LPar : c == '[' ? Tok::LSqb : Tok::LBrace);
      case ')':
      case ']':
        if (!close_bracket(static_cast<char>(c), start)) return;
        return one(c == ')' ? Tok::RPar : Tok::RSqb);
      case '}':
        if (!fstrings_.empty() && !field) return fail("f-string: single '}' is not allowed", start);
        if (!close_bracket('}', start)) return;
        one(Tok::RBrace);
        if (field_top) --fstrings_.back().nfields;
        return;
      case ':':
        if (field_top) {
          // The format spec starts here, even in "{x:=1}".
          one(Tok::Colon);
          field->in_spec = true;
          return;
        }
        return c2 == '=' ? two(Tok::ColonEqual) : one(Tok::Colon);
      case ',': return one(Tok::Comma);
      case ';': return one(Tok::Semi);
      case '.':
        if (c2 == '.' && c3 == '.') return three(Tok::Ellipsis);
        return one(Tok::Dot);
      case '+': return c2 == '=' ? two(Tok::PlusEqual) : one(Tok::Plus);
      case '-':
        if (c2 == '>') return two(Tok::RArrow);
        return c2 == '=' ? two(Tok::MinEqual) : one(Tok::Minus);
      case '*':
        if (c2 == '*') return c3 == '=' ? three(Tok::DoubleStarEqual) : two(Tok::DoubleStar);
        return c2 == '=' ? two(Tok::StarEqual) : one(Tok::Star);
      case '/':
        if (c2 == '/') return c3 == '=' ? three(Tok::DoubleSlashEqual) : two(Tok::DoubleSlash);
        return c2 == '=' ? two(Tok::SlashEqual) : one(Tok::Slash);
      case '|': return c2 == '=' ? two(Tok::VBarEqual) : one(Tok::VBar);
      case '&': return c2 == '=' ? two(Tok::AmperEqual) : one(Tok::Amper);
      case '^': return c2 == '=' ? two(Tok::CircumflexEqual) : one(Tok::Circumflex);
      case '%': return c2 == '=' ? two(Tok::PercentEqual) : one(Tok::Percent);
      case '@': return c2 == '=' ? two(Tok::AtEqual) : one(Tok::At);
      case '~': return one(Tok::Tilde);
      case '=': return c2 == '=' ? two(Tok::EqEqual) : one(Tok::Equal);
      case '!': return c2 == '=' ? two(Tok::NotEqual) : one(Tok::Exclamation);
      case '<':
        if (c2 == '<') return c3 == '=' ? three(Tok::LeftShiftEqual) : two(Tok::LeftShift);
        return c2 == '=' ? two(Tok::LessEqual) : one(Tok::Less);
      case '>':
        if (c2 == '>') return c3 == '=' ? three(Tok::RightShiftEqual) : two(Tok::RightShift);
        return c2 == '=' ? two(Tok::GreaterEqual) : one(Tok::Greater);
      default: break;
    }
    invalid_character(start, static_cast<char32_t>(c));
  }
};

}  // namespace

void tokenize(std::string_view source, std::vector<Token>& out, LexError& error) {
  out.reserve(out.size() + source.size() / 3 + 16);
  // A padded copy: offsets are the same, and the copy costs far less than
  // the bound checks it saves.
  std::unique_ptr<char[]> padded(new char[source.size() + kPadding]);
  if (!source.empty()) std::memcpy(padded.get(), source.data(), source.size());
  std::memset(padded.get() + source.size(), 0, kPadding);
  Lexer lexer(std::string_view(padded.get(), source.size()), out, error);
  lexer.run();
}

}  // namespace quorbin::syntax
