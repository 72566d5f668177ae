#include "python/dict_reader.h"

#include <limits>

namespace quorbin::python {
namespace {

std::string message(std::string_view key, const char* tail) {
  std::string text(key);
  text += tail;
  return text;
}

// The UTF-8 text of a str; the encoding error of one that has none (lone
// surrogates) passes through.
Result<std::string> utf8_of(PyObject* value) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (!data) return engine::raised_error();
  return std::string(data, static_cast<size_t>(size));
}

// An int (bools included) or an object with __index__, within the width; an
// empty optional when the value is not one.
Result<std::optional<uint64_t>> unsigned_value(PyObject* value, UIntWidth width) {
  Ref number;
  if (PyLong_Check(value)) {
    number = Ref::borrow(value);
  } else if (PyIndex_Check(value)) {
    number = Ref(PyNumber_Index(value));  // user code: its errors pass through
    if (!number) return engine::raised_error();
  } else {
    return std::optional<uint64_t>();
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (small == -1 && PyErr_Occurred()) return engine::raised_error();
  uint64_t result;
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    return std::optional<uint64_t>();
  } else if (overflow == 0) {
    result = static_cast<uint64_t>(small);
  } else {
    result = PyLong_AsUnsignedLongLong(number.get());
    if (result == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return engine::raised_error();
      PyErr_Clear();
      return std::optional<uint64_t>();
    }
  }
  if (width == UIntWidth::U32 && result > std::numeric_limits<uint32_t>::max()) return std::optional<uint64_t>();
  return std::optional<uint64_t>(result);
}

}  // namespace

Result<std::string> read_text(PyObject* value, std::string_view what) {
  if (!PyUnicode_Check(value)) return engine::schema_error(message(what, " must be a string"));
  return utf8_of(value);
}

Result<uint64_t> read_unsigned(PyObject* value, UIntWidth width, std::string_view what) {
  Result<std::optional<uint64_t>> v = unsigned_value(value, width);
  if (!v) return std::move(v).error();
  if (!*v) return engine::schema_error(message(what, " must be an unsigned integer"));
  return **v;
}

Result<Ref> DictReader::value(std::string_view key) const {
  Ref key_object(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
  if (!key_object) return engine::raised_error();
  PyObject* found = PyDict_GetItemWithError(dict_.get(), key_object.get());  // a key's __eq__ may run
  if (!found) {
    if (PyErr_Occurred()) return engine::raised_error();
    return engine::schema_error("missing field: " + std::string(key));
  }
  return Ref::borrow(found);
}

Result<std::string> DictReader::text(std::string_view key) const {
  Result<Ref> v = value(key);
  if (!v) return std::move(v).error();
  return read_text(v->get(), key);
}

Result<uint64_t> DictReader::unsigned_int(std::string_view key, UIntWidth width) const {
  Result<Ref> v = value(key);
  if (!v) return std::move(v).error();
  return read_unsigned(v->get(), width, key);
}

Result<std::optional<uint64_t>> DictReader::optional_unsigned(std::string_view key, UIntWidth width) const {
  Result<Ref> v = value(key);
  if (!v) return std::move(v).error();
  if (v->get() == Py_None) return std::optional<uint64_t>();
  Result<std::optional<uint64_t>> number = unsigned_value(v->get(), width);
  if (!number) return std::move(number).error();
  if (!*number) return engine::schema_error(message(key, " must be an unsigned integer or None"));
  return std::move(number).value();
}

Result<bool> DictReader::boolean(std::string_view key) const {
  Result<Ref> v = value(key);
  if (!v) return std::move(v).error();
  if (!PyBool_Check(v->get())) return engine::schema_error(message(key, " must be a bool"));
  return v->get() == Py_True;
}

Result<DictReader> DictReader::dict(std::string_view key) const {
  Result<Ref> v = value(key);
  if (!v) return std::move(v).error();
  if (!PyDict_Check(v->get())) return engine::schema_error(message(key, " must be a dict"));
  return DictReader(v->get());
}

Result<std::vector<std::string>> DictReader::text_list(std::string_view key) const {
  Result<Ref> v = value(key);
  if (!v) return std::move(v).error();
  std::vector<std::string> items;
  Status s = for_each_item(v->get(), [&](PyObject* item) -> Status {
    if (!PyUnicode_Check(item)) return engine::schema_error(message(key, " entries must be strings"));
    Result<std::string> text = utf8_of(item);
    if (!text) return std::move(text).error();
    items.push_back(std::move(text).value());
    return {};
  });
  if (!s) return std::move(s).error();
  return items;
}

Result<std::vector<uint64_t>> DictReader::unsigned_list(std::string_view key, UIntWidth width) const {
  Result<Ref> v = value(key);
  if (!v) return std::move(v).error();
  std::vector<uint64_t> items;
  Status s = for_each_item(v->get(), [&](PyObject* item) -> Status {
    Result<std::optional<uint64_t>> number = unsigned_value(item, width);
    if (!number) return std::move(number).error();
    if (!*number) return engine::schema_error(message(key, " entries must be unsigned integers"));
    items.push_back(**number);
    return {};
  });
  if (!s) return std::move(s).error();
  return items;
}

}  // namespace quorbin::python
