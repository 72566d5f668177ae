// The nine classes of the module. Their type objects are created once per
// process, at the first execution of the module, and cached for its life.
#pragma once

#include <Python.h>

namespace quorbin::python {

enum class ClassId : unsigned char {
  EngineHandle,
  MaterializationWorkspaceHandle,
  TemplateHandle,
  AssemblyStateHandle,
  OccurrenceHandle,
  RecordHandle,
  EdgeHandle,
  OverlayHandle,
  NativeModule,
};
inline constexpr unsigned kClassCount = 9;

// The bare class name ("EngineHandle", "NativeTemplateHandle", ...).
const char* class_name(ClassId id);

// Creates the types not created yet; false with the error set on failure.
bool ensure_types() noexcept;

// A cached type object (borrowed); valid once ensure_types() succeeded.
PyTypeObject* type_object(ClassId id);

inline bool is_instance(PyObject* object, ClassId id) { return Py_IS_TYPE(object, type_object(id)); }

// Type creators, one per file that owns the class.
PyTypeObject* create_engine_handle_type();
PyTypeObject* create_handle_type(ClassId id);
PyTypeObject* create_native_module_type();

}  // namespace quorbin::python
