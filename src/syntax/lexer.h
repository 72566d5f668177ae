// The lexer turns the whole source into a token vector in one pass: the
// indentation stack, bracket nesting and the f-string modes live here, so the
// parser sees a flat stream (FStringStart, FStringMiddle, '{' ... '}',
// FStringEnd) and never rescans text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/token.h"

namespace quorbin::syntax {

struct LexError {
  std::string message;
  uint32_t offset = 0;
};

// Appends the tokens of `source` to `out`, ending with EndMarker. On a lexical
// error the last token is Error (at the error's offset) and `error` is set;
// the parser reports it only when it reaches that token, so a syntax error
// earlier in the file is reported first, as the interpreter does.
void tokenize(std::string_view source, std::vector<Token>& out, LexError& error);

}  // namespace quorbin::syntax
