// NativeModule: a parsed module kept natively, convertible into ast objects
// or source as often as wanted. Immutable once made; belongs to no engine.
#pragma once

#include <Python.h>

#include <string>

#include "python/borrow.h"
#include "python/frame.h"
#include "python/pyref.h"
#include "syntax/tree.h"

namespace quorbin::python {

struct NativeModuleData {
  std::string source;
  std::string filename;
  syntax::Tree tree;

  // Counted on first request: most modules are never asked, and the walk
  // costs about a tenth of a parse. The tree never changes, and every
  // caller holds the interpreter lock, so counting once is safe.
  const syntax::NodeCounts& counts() const {
    if (!counted_) {
      syntax::count_nodes(tree.module, counts_);
      counted_ = true;
    }
    return counts_;
  }

 private:
  mutable syntax::NodeCounts counts_;
  mutable bool counted_ = false;
};

struct NativeModuleObject {
  ObjectHeader header;
  NativeModuleData data;
};

inline const NativeModuleData& native_module_of(PyObject* object) {
  return reinterpret_cast<NativeModuleObject*>(object)->data;
}

Ref new_native_module(NativeModuleData&& data);

// {class name: count} in the map's order.
Ref node_counts_dict(const syntax::NodeCounts& counts);

// The conversion of a module's tree with its own source as line-index text,
// as copy_to_python_ast and to_source (functions and methods) share it.
Outcome native_module_to_ast(const NativeModuleData& module, std::string_view location_policy);
Outcome native_module_to_source(const NativeModuleData& module, std::string_view location_policy);

}  // namespace quorbin::python
