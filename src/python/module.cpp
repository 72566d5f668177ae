// The module object: its definition, and the one execution step that fills
// it in the order of __all__.
#include <Python.h>

#include <exception>

#include "python/exports.h"
#include "python/frame.h"
#include "python/pyref.h"
#include "python/types.h"

namespace quorbin::python {
namespace {

struct Export {
  enum Kind : unsigned char { Function, Class, Constant } kind;
  PyMethodDef* function = nullptr;
  ClassId class_id = ClassId::EngineHandle;
  const char* constant_name = nullptr;
  const char* constant_value = nullptr;
};

constexpr Export fn(PyMethodDef& def) { return {Export::Function, &def}; }
constexpr Export cls(ClassId id) { return {Export::Class, nullptr, id}; }
constexpr Export constant(const char* name, const char* value) {
  return {Export::Constant, nullptr, ClassId::EngineHandle, name, value};
}

// In __all__ order, which is also the order of the groups: capabilities,
// engines, materialization, templates and assembly states, the parser,
// surfaces, extraction, packages.
const Export kExports[] = {
    fn(exports::version),
    fn(exports::capabilities),
    fn(exports::self_test),

    cls(ClassId::EngineHandle),
    fn(exports::engine_create),
    fn(exports::engine_close),
    fn(exports::engine_snapshot),
    fn(exports::engine_assert_same_owner),
    constant("HANDLE_KIND_ENGINE", "engine"),

    cls(ClassId::MaterializationWorkspaceHandle),
    fn(exports::materialization_workspace_create),
    fn(exports::materialization_workspace_snapshot),
    fn(exports::materialization_workspace_resolve_locator),
    fn(exports::materialization_workspace_resolve_ast_path),
    fn(exports::materialization_workspace_replace_statement_with_pass),
    fn(exports::materialization_workspace_apply_expression_edge),
    fn(exports::materialization_workspace_apply_block_edge),
    fn(exports::materialization_workspace_apply_parameter_edge),
    fn(exports::materialization_workspace_apply_call_argument_edge),
    fn(exports::materialization_workspace_lower_literal_refs),
    fn(exports::materialization_workspace_apply_external_overlay_literal),
    fn(exports::materialization_workspace_apply_identifier_overlay),
    fn(exports::assembly_state_materialize_to_python_ast),
    fn(exports::materialization_workspace_copy_to_python_ast),
    fn(exports::materialization_workspace_to_source),
    constant("HANDLE_KIND_MATERIALIZATION_WORKSPACE", "materialization-workspace"),

    cls(ClassId::TemplateHandle),
    cls(ClassId::AssemblyStateHandle),
    cls(ClassId::OccurrenceHandle),
    cls(ClassId::RecordHandle),
    cls(ClassId::EdgeHandle),
    cls(ClassId::OverlayHandle),
    fn(exports::register_template_snapshot),
    fn(exports::lower_template_package_v2_from_registered_template),
    fn(exports::assembly_state_create),
    fn(exports::assembly_state_append_occurrence),
    fn(exports::assembly_state_record_handle),
    fn(exports::assembly_state_append_edge),
    fn(exports::assembly_state_mark_satisfied),
    fn(exports::assembly_state_append_overlay),
    fn(exports::assembly_state_snapshot),
    fn(exports::assembly_state_index_snapshot),
    fn(exports::assembly_state_materialization_plan_snapshot),
    fn(exports::assembly_state_query_composable_candidates),
    fn(exports::assembly_state_query_demand_candidates),
    fn(exports::assembly_state_apply_request_batch),

    cls(ClassId::NativeModule),
    fn(exports::parse_module),
    fn(exports::compile_composable),
    fn(exports::copy_to_python_ast),
    fn(exports::to_source),
    fn(exports::bench_parse_convert),
    fn(exports::parser_backend),

    fn(exports::register_surface_bundle),
    fn(exports::surface_bundle_snapshot),

    fn(exports::extract_template_snapshot),
    fn(exports::compile_validate_source),

    fn(exports::extract_template_package_v2_snapshot),
    fn(exports::register_template_package_v2_source),
    fn(exports::template_package_v2_snapshot),
};

// Sets module.<name> = value and appends the name to __all__, which the
// first addition creates.
bool add(PyObject* module, const char* name, PyObject* value) {
  if (!value) return false;
  if (PyModule_AddObjectRef(module, name, value) < 0) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref name_object(PyUnicode_FromString(name));
  return name_object && PyList_Append(all.get(), name_object.get()) == 0;
}

bool add_export(PyObject* module, PyObject* module_name, const Export& e) {
  switch (e.kind) {
    case Export::Function: {
      Ref function(PyCFunction_NewEx(e.function, module, module_name));
      return add(module, e.function->ml_name, function.get());
    }
    case Export::Class:
      return add(module, class_name(e.class_id), reinterpret_cast<PyObject*>(type_object(e.class_id)));
    case Export::Constant: {
      Ref value(PyUnicode_FromString(e.constant_value));
      return add(module, e.constant_name, value.get());
    }
  }
  return false;
}

int exec_module(PyObject* module) noexcept {
  try {
    // The class type objects belong to the interpreter that created them and
    // are shared by every module object of the process; another interpreter
    // (even a legacy one, which the import system lets through) would use
    // them after its own finalization or beyond its lock.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_SetString(PyExc_ImportError, "_quorbin_native_engine can only be imported in the main interpreter");
      return -1;
    }
    read_fault_injection_setting();
    if (!ensure_types()) return -1;
    Ref module_name(PyUnicode_FromString("_quorbin_native_engine"));
    if (!module_name) return -1;
    for (const Export& e : kExports) {
      if (!add_export(module, module_name.get(), e)) return -1;
    }
    return 0;
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_ImportError, "_quorbin_native_engine failed to initialise: %s", e.what());
    return -1;
  } catch (...) {
    PyErr_SetString(PyExc_ImportError, "_quorbin_native_engine failed to initialise");
    return -1;
  }
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    // The class type objects are shared by every module object of the
    // process, which is only sound within one interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_quorbin_native_engine",
    "",
    0,  // no per-module state
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorbin::python

PyMODINIT_FUNC PyInit__quorbin_native_engine() noexcept { return PyModuleDef_Init(&quorbin::python::g_module); }
