// Reading the dictionaries Python hands in, key by key. Lookups are the
// dictionary's own (PyDict_GetItemWithError), so a subclass's __getitem__
// or __missing__ is never consulted. Every value is held by a reference of
// our own before anything can run user code (an __index__, an iterator, a
// key's __eq__), so such code may change the dictionary without harm.
//
// Failures are schema errors with the shared messages, the placeholder being
// the key; errors raised by the interpreter or by user code pass through
// unchanged (as ErrorKind::Raised).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"
#include "python/pyref.h"

namespace quorbin::python {

using engine::Result;
using engine::Status;

enum class UIntWidth : unsigned char { U32, U64 };

class DictReader {
 public:
  explicit DictReader(PyObject* dict) : dict_(Ref::borrow(dict)) {}

  PyObject* dict() const { return dict_.get(); }

  // The value under `key` (a new reference), "missing field: {}" when absent.
  Result<Ref> value(std::string_view key) const;

  Result<std::string> text(std::string_view key) const;                          // "{} must be a string"
  Result<uint64_t> unsigned_int(std::string_view key, UIntWidth width) const;    // "{} must be an unsigned integer"
  Result<std::optional<uint64_t>> optional_unsigned(std::string_view key, UIntWidth width) const;  // "... or None"
  Result<bool> boolean(std::string_view key) const;                              // "{} must be a bool"
  Result<DictReader> dict(std::string_view key) const;                           // "{} must be a dict"

  // A list section: any iterable (the interpreter's error otherwise), whose
  // items must be dicts ("{} entries must be dicts"); `each` is called with
  // a reader of every item in order and may stop the walk with an error.
  template <class Each>
  Status each_dict(std::string_view key, Each&& each) const;

  Result<std::vector<std::string>> text_list(std::string_view key) const;       // "{} entries must be strings"
  Result<std::vector<uint64_t>> unsigned_list(std::string_view key, UIntWidth width) const;  // "... unsigned integers"

 private:
  Ref dict_;
};

// Conversions of one value, shared with readers of lists and arguments. `what`
// is the name used in the message.
Result<std::string> read_text(PyObject* value, std::string_view what);
Result<uint64_t> read_unsigned(PyObject* value, UIntWidth width, std::string_view what);

// Walks any iterable; `each` gets every item (a borrowed reference, alive
// during the call). Iteration errors pass through.
template <class Each>
Status for_each_item(PyObject* iterable, Each&& each) {
  Ref iterator(PyObject_GetIter(iterable));
  if (!iterator) return engine::raised_error();
  while (true) {
    Ref item(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return engine::raised_error();
      return {};
    }
    if (Status s = each(item.get()); !s) return s;
  }
}

template <class Each>
Status DictReader::each_dict(std::string_view key, Each&& each) const {
  Result<Ref> section = value(key);
  if (!section) return std::move(section).error();
  return for_each_item(section->get(), [&](PyObject* item) -> Status {
    if (!PyDict_Check(item)) return engine::schema_error(std::string(key) + " entries must be dicts");
    DictReader reader(item);
    return each(reader);
  });
}

}  // namespace quorbin::python
