// The Python 3.12 parser: source text in, native tree out, positions and
// shapes as the interpreter's own parser builds them. Runs without the
// interpreter and without shared mutable state, so any number of threads may
// parse at once.
#pragma once

#include <cstddef>
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

// Byte offsets are 32-bit and a node's end is one past its last byte, so the
// longest source a parse takes is one byte short of 4 GiB.
inline constexpr size_t kMaxSourceBytes = UINT32_MAX - 1;

// The limits of one parse. The defaults are what every caller gets; lower
// ones let a test reach a refusal without gigabytes of source or megabytes
// of nesting.
struct ParseLimits {
  // Longer sources are refused ("source is too large"); a value above
  // kMaxSourceBytes means kMaxSourceBytes.
  size_t max_source_bytes = kMaxSourceBytes;
  // C stack the parse may use below its entry frame before nesting is the
  // depth error; 0 is the build's own budget (parser_internal.h).
  size_t stack_bytes = 0;
};

// Parses `source` (UTF-8) in module mode. Never throws except std::bad_alloc.
[[nodiscard]] ParseResult parse_module(std::string_view source, std::string_view filename);
[[nodiscard]] ParseResult parse_module(std::string_view source, std::string_view filename,
                                       const ParseLimits& limits);

}  // namespace quorbin::syntax
