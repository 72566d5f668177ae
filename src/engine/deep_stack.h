// Room on the C stack for the template walks. They recurse once per nested
// block, and an elif chain nests one level per clause, so a source the
// parser accepts can need more stack than a thread has to spare (under
// AddressSanitizer, more than a default 8 MB thread has). Deep trees are
// walked on a helper thread whose stack is sized for their depth; every
// other tree is walked where it is, at no cost.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <utility>

#include "syntax/tree.h"

namespace quorbin::engine {

// The deepest nesting of statements (blocks, handlers, match cases, elif
// clauses) in a module; expressions are not counted, their walks keep their
// own stacks.
size_t statement_depth(const syntax::Node* module);

// Statement depth up to which the walks run on the calling thread.
inline constexpr size_t kShallowStatementDepth = 200;

// Runs fn(arg) on a new thread with a stack of at least `bytes` and waits
// for it. Throws std::bad_alloc when no such thread can be made.
void run_with_stack(size_t bytes, void (*fn)(void*), void* arg);

size_t stack_bytes_for_statement_depth(size_t depth);

// f(), on this thread when `module` is shallow, else on a helper thread with
// room for its depth. Exceptions thrown by f reach the caller unchanged.
template <class F>
auto with_stack_for(const syntax::Node* module, F&& f) -> decltype(f()) {
  using R = decltype(f());
  const size_t depth = statement_depth(module);
  if (depth <= kShallowStatementDepth) return f();
  std::optional<R> result;
  std::exception_ptr error;
  auto body = [&] {
    try {
      result.emplace(f());
    } catch (...) {
      error = std::current_exception();
    }
  };
  run_with_stack(stack_bytes_for_statement_depth(depth), [](void* p) { (*static_cast<decltype(body)*>(p))(); },
                 &body);
  if (error) std::rethrow_exception(error);
  return std::move(*result);
}

}  // namespace quorbin::engine
