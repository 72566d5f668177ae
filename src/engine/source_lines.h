// Line numbers from byte offsets. Only line feeds start lines: offset 0 and
// the offset after every '\n' are the line starts, and the line of an offset
// is the number of line starts not greater than it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "syntax/tree.h"

namespace quorbin::engine {

class SourceLines {
 public:
  explicit SourceLines(std::string_view source) {
    starts_.push_back(0);
    for (size_t i = 0; i < source.size(); ++i)
      if (source[i] == '\n') starts_.push_back(i + 1);
  }

  uint64_t line_of(uint64_t offset) const {
    return static_cast<uint64_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin());
  }

  uint64_t line_of(const syntax::Node* node) const { return line_of(node->start); }

  // The line a statement reports in messages and in the block production.
  // Only these kinds are located by their start; every other statement
  // reports line 1, which callers rely on (a template starting with a `for`
  // loop reports the caller's line number instead).
  uint64_t statement_line(const syntax::Node* stmt) const {
    using syntax::Kind;
    switch (stmt->kind) {
      case Kind::FunctionDef:
      case Kind::AsyncFunctionDef:
      case Kind::ClassDef:
      case Kind::Return:
      case Kind::Assign:
      case Kind::AnnAssign:
      case Kind::If:
      case Kind::With:
      case Kind::Try:
      case Kind::Import:
      case Kind::ImportFrom:
      case Kind::Expr:
        return line_of(stmt->start);
      default:
        return 1;
    }
  }

 private:
  std::vector<uint64_t> starts_;
};

}  // namespace quorbin::engine
