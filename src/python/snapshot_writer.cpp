#include "python/snapshot_writer.h"

namespace quorbin::python {

Ref new_str(std::string_view utf8) {
  return Ref(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
}
Ref new_u64(uint64_t value) { return Ref(PyLong_FromUnsignedLongLong(value)); }
Ref new_i64(int64_t value) { return Ref(PyLong_FromLongLong(value)); }
Ref new_float(double value) { return Ref(PyFloat_FromDouble(value)); }
Ref new_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Ref new_none() { return Ref::borrow(Py_None); }

DictWriter::DictWriter() : dict_(PyDict_New()) {}

DictWriter& DictWriter::set(const char* key, Ref value) {
  if (!dict_) return *this;
  if (!value || PyDict_SetItemString(dict_.get(), key, value.get()) < 0) dict_ = Ref();
  return *this;
}

DictWriter& DictWriter::set(std::string_view key, Ref value) {
  if (!dict_) return *this;
  Ref key_object = new_str(key);
  if (!key_object || !value || PyDict_SetItem(dict_.get(), key_object.get(), value.get()) < 0) dict_ = Ref();
  return *this;
}

ListWriter::ListWriter() : list_(PyList_New(0)) {}

ListWriter& ListWriter::append(Ref value) {
  if (!list_) return *this;
  if (!value || PyList_Append(list_.get(), value.get()) < 0) list_ = Ref();
  return *this;
}

}  // namespace quorbin::python
