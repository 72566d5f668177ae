// Owning reference to a Python object: the one RAII holder of the binding layer.
#pragma once

#include <Python.h>

#include <utility>

namespace quorbin::python {

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}  // steals a new reference
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace quorbin::python
