// Internal faults: broken invariants, never bad input. They are thrown as C++
// exceptions and caught by the call frame, which reports them through the
// module's internal-fault exception; they never reach the interpreter as such.
#pragma once

#include <stdexcept>
#include <string>

namespace quorbin::engine {

class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

[[noreturn]] void raise_fault(const char* file, int line, const char* condition);

}  // namespace quorbin::engine

// Checks an invariant in every build type (the cost is a compare; a silent
// violation would corrupt an engine that Python keeps using).
#define QUORBIN_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::quorbin::engine::raise_fault(__FILE__, __LINE__, #condition))
