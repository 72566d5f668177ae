// The parse step and the conversion step as every Part that parses source or
// hands back ast objects uses them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/error.h"
#include "python/convert.h"
#include "python/pyref.h"
#include "syntax/tree.h"

namespace quorbin::python {

inline constexpr std::string_view kDefaultFilename = "<quorbin-native>";

// Whether the native parser is part of this build.
bool parser_available();

// Parses `source` in module mode. With `release_lock` the interpreter lock
// is released around the parser run only; the caller must own both buffers
// (no Python object is touched meanwhile). A parse failure is the syntax
// error naming `filename`. `elapsed_ns`, when given, receives the time of
// the run (lock release and retake included).
engine::Result<syntax::Tree> parse_source(const std::string& source, const std::string& filename, bool release_lock,
                                          uint64_t* elapsed_ns = nullptr);

// "native" or "fix_missing", exactly; anything else is the plain value error
// "unknown location_policy "<text>"; expected 'native' or 'fix_missing'".
engine::Result<LocationPolicy> location_policy_from(std::string_view text);

// The conversion of a module tree into a new ast.Module: the policy is
// checked first, before anything is built.
Ref convert_tree(const syntax::Node* module, std::string_view line_text, LocationPolicy policy,
                 ConvertStats* stats = nullptr, size_t* depth = nullptr);

// ast.unparse(module), which must give a str: returned as an exact str.
// `tree_depth` is the module's depth: unparse recurses in Python, three calls
// per level, and gets room in the recursion limit for it.
Ref unparse(PyObject* module, size_t tree_depth);

}  // namespace quorbin::python
