// Building the dictionaries and lists the module returns. Keys go in in the
// order they are set. A failed step (out of memory) is remembered: later
// steps do nothing and finish() returns a null Ref with the error set, so a
// writer needs no check after every call.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "python/pyref.h"

namespace quorbin::python {

// New Python values; a null Ref with the error set on failure.
Ref new_str(std::string_view utf8);
Ref new_u64(uint64_t value);
Ref new_i64(int64_t value);
Ref new_float(double value);
Ref new_bool(bool value);
Ref new_none();

class ListWriter;

class DictWriter {
 public:
  DictWriter();

  // Each takes the value (a new reference); a null value marks failure.
  DictWriter& set(const char* key, Ref value);
  DictWriter& str(const char* key, std::string_view value) { return ok() ? set(key, new_str(value)) : *this; }
  DictWriter& u64(const char* key, uint64_t value) { return ok() ? set(key, new_u64(value)) : *this; }
  DictWriter& i64(const char* key, int64_t value) { return ok() ? set(key, new_i64(value)) : *this; }
  DictWriter& f64(const char* key, double value) { return ok() ? set(key, new_float(value)) : *this; }
  DictWriter& boolean(const char* key, bool value) { return ok() ? set(key, new_bool(value)) : *this; }
  DictWriter& none(const char* key) { return ok() ? set(key, new_none()) : *this; }
  // With a key that is not a C string (for example a node class name).
  DictWriter& set(std::string_view key, Ref value);

  bool ok() const { return static_cast<bool>(dict_); }
  Ref finish() { return std::move(dict_); }

 private:
  Ref dict_;
};

class ListWriter {
 public:
  ListWriter();

  ListWriter& append(Ref value);
  ListWriter& str(std::string_view value) { return ok() ? append(new_str(value)) : *this; }
  ListWriter& u64(uint64_t value) { return ok() ? append(new_u64(value)) : *this; }

  bool ok() const { return static_cast<bool>(list_); }
  Ref finish() { return std::move(list_); }

 private:
  Ref list_;
};

// A new list of the texts in `items`.
template <class Range>
Ref new_str_list(const Range& items) {
  ListWriter list;
  for (const auto& item : items) list.str(item);
  return list.finish();
}

}  // namespace quorbin::python
