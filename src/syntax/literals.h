// Lexical values: numbers, string and bytes bodies, identifiers. The lexer
// decides where a token ends and whether its shape is valid; these functions
// turn a valid token's text into the value the interpreter would build.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "syntax/tree.h"

namespace quorbin::syntax {

struct LiteralError {
  std::string message;
  uint32_t offset = 0;  // absolute byte offset into the source
};

// The value of a NUMBER token exactly as written (prefix, underscores and a
// trailing j/J included). Integers that fit in int64 become ConstKind::Int,
// larger ones ConstKind::BigInt with their digits in their own base; floats
// are correctly rounded (overflow gives inf, underflow 0.0); an imaginary
// literal becomes ConstKind::Complex with the imaginary part in `f`.
[[nodiscard]] const Const* number_constant(std::string_view token, Arena& arena);

// Decodes the body of a string or bytes literal (the text between the quotes,
// without prefix) as the interpreter does: escapes unless `raw`, \N{...} for
// str only. `body_offset` is the body's byte offset in the source, used for
// error offsets. Str results are UTF-8, with lone surrogates from \ud800-style
// escapes written as three-byte sequences; bytes results are raw bytes, and a
// non-ASCII character in a bytes literal is an error. Unknown escapes such as
// \d are kept as written (the interpreter only warns about them).
[[nodiscard]] bool decode_string_body(std::string_view body, uint32_t body_offset, bool raw, bool bytes,
                                      std::string& out, LiteralError& error);

// Identifier characters by the interpreter's rule: XID_Start or '_' first,
// XID_Continue after.
bool is_identifier_start(char32_t c);
bool is_identifier_continue(char32_t c);

// The identifier as the interpreter stores it: ASCII unchanged, anything else
// NFKC-normalized. `text` is valid UTF-8.
std::string normalize_identifier(std::string_view text);

// Decodes one UTF-8 code point at `pos`; returns its length (1 to 4) or 0 when
// the bytes there are not valid UTF-8 (overlong, surrogate, truncated).
unsigned decode_utf8(std::string_view text, size_t pos, char32_t& out);

}  // namespace quorbin::syntax
