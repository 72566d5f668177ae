#include "python/frame.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "engine/fault.h"
#include "python/handles.h"
#include "python/types.h"

namespace quorbin::python {
namespace {

// ---------------------------------------------------------------------------
// Per-thread bookkeeping

// How many frames this thread is inside while holding the interpreter lock.
thread_local int t_depth = 0;

// References dropped by a thread that did not hold the lock, released by the
// next thread to enter the frame. The flag spares the mutex on every call.
std::mutex g_pending_mutex;
std::vector<PyObject*>* g_pending = nullptr;  // never destroyed: may be used during interpreter shutdown
std::atomic<bool> g_has_pending{false};

void release_pending() noexcept {
  if (!g_has_pending.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(g_pending_mutex);
    if (g_pending) batch.swap(*g_pending);
    g_has_pending.store(false, std::memory_order_release);
  }
  // A destructor run here may raise; it must not disturb the call's state.
  PyObject* pending_error = PyErr_GetRaisedException();
  for (PyObject* object : batch) Py_DECREF(object);
  PyErr_SetRaisedException(pending_error);
}

class FrameScope {
 public:
  FrameScope() noexcept {
    ++t_depth;
    release_pending();
  }
  ~FrameScope() { --t_depth; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;
};

// ---------------------------------------------------------------------------
// Fault injection, a test seam for the fault paths, which no correct input
// can reach. QUORBIN_NATIVE_INJECT_FAULT=<function>[:<mode>] makes that
// function fail before its operation runs: "fault" (the default) with an
// internal fault carrying a message, "untexted" with one carrying none,
// "nomem" with a C++ allocation failure, "nested" with a fault raised while
// the first one is being reported (the process aborts). Read once per
// process, when the module is executed; unset, it costs one compare per call.

enum class Injection : unsigned char { None, Fault, Untexted, NoMemory, Nested };
std::string* g_injected_function = nullptr;
Injection g_injection = Injection::None;
bool g_injection_read = false;

struct UntextedFault {};

void maybe_inject(const char* name) {
  if (g_injection == Injection::None || *g_injected_function != name) return;
  switch (g_injection) {
    case Injection::Fault:
    case Injection::Nested: throw engine::InternalFault("injected fault in " + *g_injected_function);
    case Injection::Untexted: throw UntextedFault{};
    case Injection::NoMemory: throw std::bad_alloc();
    case Injection::None: break;
  }
}

// ---------------------------------------------------------------------------
// Faults

[[noreturn]] void fatal(const char* what) noexcept {
  std::fputs("_quorbin_native_engine: fatal internal fault while reporting an internal fault: ", stderr);
  std::fputs(what, stderr);
  std::fputs("\n", stderr);
  std::fflush(stderr);
  std::abort();
}

constexpr const char* kUntextedFault = "internal fault in the native engine (no description)";

void raise_internal_fault(const char* message) {
  PyObject* type = internal_fault_type();
  if (!type) return;  // the creation error (out of memory) is set instead
  PyErr_SetString(type, message && *message ? message : kUntextedFault);
}

// Reports the exception being handled as the interpreter's error. A C++
// allocation failure is the interpreter's own MemoryError; anything else is
// an internal fault. A fault while reporting ends the process: nothing may
// cross into the interpreter.
PyObject* report_fault() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      if (g_injection == Injection::Nested) throw std::logic_error("injected nested fault");
      raise_internal_fault(e.what());
    } catch (...) {
      raise_internal_fault(nullptr);
    }
  } catch (const std::exception& e) {
    fatal(e.what());
  } catch (...) {
    fatal("unknown fault");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Outcome -> interpreter

PyObject* finish(Outcome& outcome) {
  if (outcome.value()) {
    if (PyErr_Occurred()) {
      // A result together with a pending exception means some failure was
      // ignored on the way; report that failure rather than the result.
      return nullptr;
    }
    return outcome.value().release();
  }
  if (outcome.error()) return raise(*outcome.error());
  if (!PyErr_Occurred()) {
    raise_internal_fault("operation failed without reporting an error");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Binding

std::string display_name(const FunctionSpec& spec) {
  std::string name;
  if (spec.owner) {
    name += spec.owner;
    name += '.';
  }
  name += spec.name;
  name += "()";
  return name;
}

bool bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
  const Py_ssize_t total = spec.param_count;
  Py_ssize_t required = 0;
  for (unsigned i = 0; i < spec.param_count; ++i) required += spec.params[i].required ? 1 : 0;

  if (nargs > total) {
    const char* verb = nargs == 1 ? "was" : "were";
    const std::string f = display_name(spec);
    if (required == total) {
      PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", f.c_str(), total,
                   nargs, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given", f.c_str(),
                   required, total, nargs, verb);
    }
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t found = -1;
    for (Py_ssize_t i = 0; i < total; ++i) {
      if (PyUnicode_Check(keyword) && PyUnicode_CompareWithASCIIString(keyword, spec.params[i].name) == 0) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display_name(spec).c_str(),
                   keyword);
      return false;
    }
    if (bound[found]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_name(spec).c_str(),
                   spec.params[found].name);
      return false;
    }
    bound[found] = args[nargs + k];
  }

  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < total; ++i) {
    if (spec.params[i].required && !bound[i]) missing.push_back(spec.params[i].name);
  }
  if (!missing.empty()) {
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) {
        if (missing.size() == 2) {
          names += " and ";
        } else if (i + 1 == missing.size()) {
          names += ", and ";
        } else {
          names += ", ";
        }
      }
      names += '\'';
      names += missing[i];
      names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", display_name(spec).c_str(),
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Conversion

ClassId class_for(Conv conv) {
  switch (conv) {
    case Conv::Engine:
    case Conv::EngineMut: return ClassId::EngineHandle;
    case Conv::Template: return ClassId::TemplateHandle;
    case Conv::AssemblyState: return ClassId::AssemblyStateHandle;
    case Conv::Occurrence: return ClassId::OccurrenceHandle;
    case Conv::Record: return ClassId::RecordHandle;
    case Conv::Edge: return ClassId::EdgeHandle;
    case Conv::Overlay: return ClassId::OverlayHandle;
    case Conv::Workspace: return ClassId::MaterializationWorkspaceHandle;
    case Conv::Module: return ClassId::NativeModule;
    default: break;
  }
  QUORBIN_CHECK(false && "not a class conversion");
  return ClassId::EngineHandle;
}

bool convert_text(PyObject* value, std::string_view& out) {
  if (!PyUnicode_Check(value)) {
    raise_not_instance(value, "str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);  // kept inside the str object
  if (!data) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool convert_index(PyObject* value, uint64_t& out) {
  Ref number(PyNumber_Index(value));
  if (!number) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(number.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

}  // namespace

// Converts one bound argument; false with the error set.
struct FrameAccess {
  static bool convert(const Param& param, PyObject* value, Args::Slot& slot) {
    slot.object = value;
    switch (param.conv) {
      case Conv::Object:
        slot.has_value = value != nullptr;
        return true;
      case Conv::OptText:
        if (!value || value == Py_None) return true;
        [[fallthrough]];
      case Conv::Text:
        if (!value) {
          slot.text = param.text_default ? param.text_default : "";
          slot.has_value = true;
          return true;
        }
        slot.has_value = true;
        return convert_text(value, slot.text);
      case Conv::Dict:
        if (!value) return true;
        if (!PyDict_Check(value)) {
          raise_not_instance(value, "dict");
          return false;
        }
        slot.has_value = true;
        return true;
      case Conv::OptIndex:
        if (!value || value == Py_None) return true;
        [[fallthrough]];
      case Conv::Index:
        if (!value) return true;
        slot.has_value = true;
        return convert_index(value, slot.index);
      default:
        break;
    }
    // A handle class.
    if (!value) return true;
    const ClassId id = class_for(param.conv);
    if (!is_instance(value, id)) {
      raise_not_instance(value, class_name(id));
      return false;
    }
    const BorrowMode mode = param.conv == Conv::EngineMut ? BorrowMode::Exclusive : BorrowMode::Shared;
    if (!slot.borrow.acquire(borrow_cell(value), mode)) return false;
    slot.has_value = true;
    if (id == ClassId::EngineHandle) {
      slot.engine = &engine_of(value);
    } else if (id != ClassId::NativeModule) {
      slot.handle = &handle_of(value);
    }
    return true;
  }

  static PyObject* run(const FunctionSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    QUORBIN_CHECK(spec.param_count <= kMaxParams);
    Args call;
    call.spec_ = &spec;
    call.self_ = self;
    if (self && !call.self_borrow_.acquire(borrow_cell(self), BorrowMode::Shared)) return nullptr;

    PyObject* bound[kMaxParams] = {};
    if (!bind(spec, args, nargs, kwnames, bound)) return nullptr;
    for (unsigned i = 0; i < spec.param_count; ++i) {
      if (!convert(spec.params[i], bound[i], call.slots_[i])) {
        add_processing_note(spec.params[i].name);
        return nullptr;
      }
    }
    maybe_inject(spec.name);
    Outcome outcome = spec.run(call);
    return finish(outcome);
  }
};

// ---------------------------------------------------------------------------
// Entry points

PyObject* call_function(const FunctionSpec& spec, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  FrameScope scope;
  try {
    return FrameAccess::run(spec, self, args, nargs, kwnames);
  } catch (...) {
    return report_fault();
  }
}

PyObject* call_noargs(Outcome (*run)()) noexcept {
  FrameScope scope;
  try {
    Outcome outcome = run();
    return finish(outcome);
  } catch (...) {
    return report_fault();
  }
}

PyObject* call_on_self(PyObject* self, Outcome (*run)(PyObject*)) noexcept {
  FrameScope scope;
  try {
    Borrow borrow;
    if (!borrow.acquire(borrow_cell(self), BorrowMode::Shared)) return nullptr;
    Outcome outcome = run(self);
    return finish(outcome);
  } catch (...) {
    return report_fault();
  }
}

// ---------------------------------------------------------------------------
// Errors

PyObject* raise(const engine::Error& error) noexcept {
  switch (error.kind) {
    case engine::ErrorKind::Schema: {
      const std::string message = "native schema error: " + error.detail;
      PyErr_SetString(PyExc_ValueError, message.c_str());
      break;
    }
    case engine::ErrorKind::StaleHandle: {
      const std::string message = "native stale handle: " + error.detail;
      PyErr_SetString(PyExc_RuntimeError, message.c_str());
      break;
    }
    case engine::ErrorKind::Syntax: PyErr_SetString(PyExc_SyntaxError, error.detail.c_str()); break;
    case engine::ErrorKind::PlainValue: PyErr_SetString(PyExc_ValueError, error.detail.c_str()); break;
    case engine::ErrorKind::Raised:
      if (!PyErr_Occurred()) raise_internal_fault("an interpreter error was expected but none is set");
      break;
  }
  return nullptr;
}

PyObject* raise_not_instance(PyObject* value, const char* expected) noexcept {
  if (value == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
  } else {
    // The class's __name__, without the module prefix tp_name may carry.
    PyObject* name = PyType_GetName(Py_TYPE(value));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, expected);
    Py_DECREF(name);
  }
  return nullptr;
}

void add_processing_note(const char* name) noexcept {
  PyObject* exception = PyErr_GetRaisedException();
  if (!exception) return;
  PyObject* note = PyUnicode_FromFormat("while processing '%s'", name);
  PyObject* result = note ? PyObject_CallMethod(exception, "add_note", "O", note) : nullptr;
  Py_XDECREF(note);
  if (result) {
    Py_DECREF(result);
  } else {
    PyErr_Clear();  // the note is a courtesy; the original error matters
  }
  PyErr_SetRaisedException(exception);
}

PyObject* internal_fault_type() noexcept {
  // Created once per process and kept for its life: reported faults of any
  // module object must be of one class.
  static PyObject* type = nullptr;
  if (!type) {
    type = PyErr_NewExceptionWithDoc("_quorbin_native_engine.NativeInternalFault",
                                     "A broken invariant inside the native engine (a bug, not bad input).",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

// ---------------------------------------------------------------------------
// Lock bookkeeping

bool thread_holds_lock() noexcept { return t_depth > 0; }

void release_reference(PyObject* object) noexcept {
  if (!object) return;
  if (t_depth > 0) {
    Py_DECREF(object);
    return;
  }
  try {
    std::lock_guard<std::mutex> lock(g_pending_mutex);
    if (!g_pending) g_pending = new std::vector<PyObject*>();
    g_pending->push_back(object);
    g_has_pending.store(true, std::memory_order_release);
  } catch (...) {
    // Out of memory with the lock released: leaking one reference is the
    // only safe choice.
  }
}

WithoutLock::WithoutLock() noexcept : saved_depth_(t_depth) {
  t_depth = 0;
  state_ = PyEval_SaveThread();
}

WithoutLock::~WithoutLock() {
  PyEval_RestoreThread(state_);
  t_depth = saved_depth_;
}

void read_fault_injection_setting() noexcept {
  if (g_injection_read) return;
  g_injection_read = true;
  const char* setting = std::getenv("QUORBIN_NATIVE_INJECT_FAULT");
  if (!setting || !*setting) return;
  try {
    std::string text(setting);
    std::string mode = "fault";
    if (const size_t colon = text.find(':'); colon != std::string::npos) {
      mode = text.substr(colon + 1);
      text.resize(colon);
    }
    Injection injection = mode == "fault"      ? Injection::Fault
                          : mode == "untexted" ? Injection::Untexted
                          : mode == "nomem"    ? Injection::NoMemory
                          : mode == "nested"   ? Injection::Nested
                                               : Injection::None;
    g_injected_function = new std::string(std::move(text));
    g_injection = injection;
  } catch (...) {
    g_injection = Injection::None;
  }
}

}  // namespace quorbin::python
