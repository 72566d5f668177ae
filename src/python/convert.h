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
PyObject* convert_module(const syntax::Node* module, std::string_view line_text, LocationPolicy policy,
                         ConvertStats* stats = nullptr);

}  // namespace quorbin::python
