// The call frame: every exported function, method, getter and repr of the
// module enters through here. It binds and converts the arguments, borrows
// the handle objects, runs the operation, and turns its outcome into the
// interpreter's result or exception. Nothing thrown inside crosses it.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/error.h"
#include "engine/handle.h"
#include "python/borrow.h"
#include "python/pyref.h"

namespace quorbin::python {

// What an operation hands back: a new reference, or one error. A null Ref
// means the interpreter's exception is already set (a failed C API call).
class Outcome {
 public:
  Outcome(Ref value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  Outcome(engine::Error error) : error_(std::move(error)) {}  // NOLINT
  static Outcome raised() { return Outcome(Ref()); }

  Ref& value() { return value_; }
  std::optional<engine::Error>& error() { return error_; }

 private:
  Ref value_;
  std::optional<engine::Error> error_;
};

// How a parameter is converted before the operation runs.
enum class Conv : unsigned char {
  Object,     // any object, handed over as is (the operation reads it)
  Text,       // str, as UTF-8
  OptText,    // None or omitted: absent; otherwise Text
  Dict,       // a dict or subclass
  Index,      // int -> unsigned 64-bit (OverflowError, TypeError from the interpreter)
  OptIndex,   // None or omitted: absent; otherwise Index
  Engine,     // EngineHandle, borrowed shared
  EngineMut,  // EngineHandle, borrowed exclusively
  Template,   // the handle classes, borrowed shared
  AssemblyState,
  Occurrence,
  Record,
  Edge,
  Overlay,
  Workspace,
  Module,  // NativeModule, borrowed shared
};

struct Param {
  const char* name;
  Conv conv;
  bool required = true;
  const char* text_default = nullptr;  // Text parameters with a string default
};

inline constexpr unsigned kMaxParams = 6;

class Args;
using Operation = Outcome (*)(Args&);

struct FunctionSpec {
  const char* name;
  const char* owner;  // the class of a method, nullptr for a module function
  const Param* params;
  unsigned param_count;
  Operation run;
};

// The converted arguments of one call. Views and references stay valid for
// the call: they point into the call's argument objects, which the caller
// holds, and the borrows are released only when the call ends.
class Args {
 public:
  const FunctionSpec& spec() const { return *spec_; }
  PyObject* self() const { return self_; }

  bool present(unsigned i) const { return slots_[i].object != nullptr; }
  PyObject* object(unsigned i) const { return slots_[i].object; }  // nullptr when omitted
  std::string_view text(unsigned i) const { return slots_[i].text; }
  std::optional<std::string_view> opt_text(unsigned i) const {
    if (!slots_[i].has_value) return std::nullopt;
    return slots_[i].text;
  }
  uint64_t index(unsigned i) const { return slots_[i].index; }
  std::optional<uint64_t> opt_index(unsigned i) const {
    if (!slots_[i].has_value) return std::nullopt;
    return slots_[i].index;
  }
  engine::Engine& engine(unsigned i) const { return *slots_[i].engine; }
  const engine::HandleRef& handle(unsigned i) const { return *slots_[i].handle; }

 private:
  friend struct FrameAccess;
  struct Slot {
    PyObject* object = nullptr;
    bool has_value = false;
    std::string_view text;
    uint64_t index = 0;
    engine::Engine* engine = nullptr;
    const engine::HandleRef* handle = nullptr;
    Borrow borrow;
  };
  const FunctionSpec* spec_ = nullptr;
  PyObject* self_ = nullptr;
  Borrow self_borrow_;
  std::array<Slot, kMaxParams> slots_;
};

// Entry points; the templates below give each function its own C symbol.
PyObject* call_function(const FunctionSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* call_noargs(Outcome (*run)()) noexcept;
PyObject* call_on_self(PyObject* self, Outcome (*run)(PyObject* self)) noexcept;

template <const FunctionSpec& Spec>
PyObject* function_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_function(Spec, Spec.owner ? self : nullptr, args, nargs, kwnames);
}

template <Outcome (*Run)()>
PyObject* noargs_entry(PyObject*, PyObject*) noexcept {
  return call_noargs(Run);
}

// Methods without parameters, getters and reprs: `self` is borrowed shared.
template <Outcome (*Run)(PyObject*)>
PyObject* self_method_entry(PyObject* self, PyObject*) noexcept {
  return call_on_self(self, Run);
}
template <Outcome (*Run)(PyObject*)>
PyObject* getter_entry(PyObject* self, void*) noexcept {
  return call_on_self(self, Run);
}
template <Outcome (*Run)(PyObject*)>
PyObject* repr_entry(PyObject* self) noexcept {
  return call_on_self(self, Run);
}

// The PyMethodDef of a module function or method with parameters;
// `signature` is the text signature, for example "f(a, b=None)".
#define QUORBIN_FUNCTION_DEF(spec, signature)                                                             \
  PyMethodDef {                                                                                            \
    (spec).name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&::quorbin::python::function_entry<spec>)), \
        METH_FASTCALL | METH_KEYWORDS, signature "\n--\n\n"                                                \
  }
#define QUORBIN_NOARGS_DEF(name, run, signature) \
  PyMethodDef { name, &::quorbin::python::noargs_entry<run>, METH_NOARGS, signature "\n--\n\n" }
#define QUORBIN_SELF_METHOD_DEF(name, run, signature) \
  PyMethodDef { name, &::quorbin::python::self_method_entry<run>, METH_NOARGS, signature "\n--\n\n" }

// Errors. `raise` sets the exception of an error value and returns nullptr.
PyObject* raise(const engine::Error& error) noexcept;
// The type error of a value of the wrong class: "'int' object is not an
// instance of 'dict'" ("'None' is not an instance of ..." for None).
PyObject* raise_not_instance(PyObject* value, const char* expected) noexcept;
// Adds "while processing '<name>'" to the pending exception, as best effort.
void add_processing_note(const char* name) noexcept;
// The module's internal-fault exception type (a BaseException subclass,
// created once, on first use); nullptr with the error set if creating fails.
PyObject* internal_fault_type() noexcept;

// Per-thread bookkeeping: whether this thread runs inside the frame holding
// the interpreter lock. References dropped where the lock is not held are
// queued and released at the next entry into the frame.
bool thread_holds_lock() noexcept;
void release_reference(PyObject* object) noexcept;

// Releases the interpreter lock for its lifetime (for parsing); the thread's
// bookkeeping says the lock is not held until it is taken back. Nothing that
// touches a Python object may run inside.
class WithoutLock {
 public:
  WithoutLock() noexcept;
  ~WithoutLock();
  WithoutLock(const WithoutLock&) = delete;
  WithoutLock& operator=(const WithoutLock&) = delete;

 private:
  PyThreadState* state_;
  int saved_depth_;
};

// Reads the fault-injection setting once, at module execution (see frame.cpp).
void read_fault_injection_setting() noexcept;

}  // namespace quorbin::python
