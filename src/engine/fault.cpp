#include "engine/fault.h"

#include <cstring>

namespace quorbin::engine {

void raise_fault(const char* file, int line, const char* condition) {
  // Keep the file's base name only: the build directory says nothing useful.
  const char* base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  throw InternalFault(std::string("invariant violated at ") + base + ":" + std::to_string(line) + ": " + condition);
}

}  // namespace quorbin::engine
