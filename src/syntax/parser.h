// The Python 3.12 parser: source text in, native tree out, positions and
// shapes as the interpreter's own parser builds them. Runs without the
// interpreter and without shared mutable state, so any number of threads may
// parse at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "syntax/tree.h"

namespace quorbin::syntax {

struct SyntaxErrorInfo {
  std::string message;
  uint32_t offset = 0;  // byte offset into the source, where the offending token starts
};

struct ParseResult {
  Tree tree;
  bool ok = false;
  SyntaxErrorInfo error;
};

// Parses `source` (UTF-8) in module mode. Never throws except std::bad_alloc.
[[nodiscard]] ParseResult parse_module(std::string_view source, std::string_view filename);

}  // namespace quorbin::syntax
