// Native tree -> the interpreter's ast objects (the one conversion every output
// path uses).
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "syntax/tree.h"

namespace quorbin::python {

enum class LocationPolicy { Native, FixMissing };

// Counters of one conversion, for the benchmark. Times are nanoseconds.
struct ConvertStats {
  uint64_t nodes_constructed = 0;
  uint64_t required_default_fields = 0;
  uint64_t location_fields = 0;
  unsigned __int128 constructor_ns = 0;
  unsigned __int128 list_ns = 0;
  unsigned __int128 location_ns = 0;
};

// Converts a Module node into a new ast.Module (new reference), or returns
// nullptr with the interpreter's error set. `line_text` is the text the byte
// ranges refer to (may be empty). Under FixMissing no positions are set and
// ast.fix_missing_locations is applied. Counters and timers are kept only when
// `stats` is given, so ordinary conversions do not pay for the clock.
// `depth`, when given, receives the depth of the converted tree.
PyObject* convert_module(const syntax::Node* module, std::string_view line_text, LocationPolicy policy,
                         ConvertStats* stats = nullptr, size_t* depth = nullptr);

// Room in the interpreter's recursion limit for a call into the ast
// module's recursive Python functions (fix_missing_locations, unparse) on a
// tree `levels` calls deep: the limit is raised for the call when it would
// not fit, and put back when the last such call ends. From 3.12 on a call
// from Python code to Python code uses no C stack, so the raise is safe.
class RecursionRoom {
 public:
  explicit RecursionRoom(size_t levels);
  ~RecursionRoom();
  RecursionRoom(const RecursionRoom&) = delete;
  RecursionRoom& operator=(const RecursionRoom&) = delete;

 private:
  bool joined_ = false;
};

}  // namespace quorbin::python
