#include "python/types.h"

namespace quorbin::python {
namespace {

// Owned for the life of the process: instances made by one module object
// must stay of the same class when the module is executed again.
PyTypeObject* g_types[kClassCount] = {};

}  // namespace

const char* class_name(ClassId id) {
  switch (id) {
    case ClassId::EngineHandle: return "EngineHandle";
    case ClassId::MaterializationWorkspaceHandle: return "NativeMaterializationWorkspaceHandle";
    case ClassId::TemplateHandle: return "NativeTemplateHandle";
    case ClassId::AssemblyStateHandle: return "NativeAssemblyStateHandle";
    case ClassId::OccurrenceHandle: return "NativeOccurrenceHandle";
    case ClassId::RecordHandle: return "NativeRecordHandle";
    case ClassId::EdgeHandle: return "NativeEdgeHandle";
    case ClassId::OverlayHandle: return "NativeOverlayHandle";
    case ClassId::NativeModule: return "NativeModule";
  }
  return "?";
}

bool ensure_types() noexcept {
  for (unsigned i = 0; i < kClassCount; ++i) {
    if (g_types[i]) continue;
    const auto id = static_cast<ClassId>(i);
    PyTypeObject* type = id == ClassId::EngineHandle   ? create_engine_handle_type()
                         : id == ClassId::NativeModule ? create_native_module_type()
                                                       : create_handle_type(id);
    if (!type) return false;
    g_types[i] = type;
  }
  return true;
}

PyTypeObject* type_object(ClassId id) { return g_types[static_cast<unsigned>(id)]; }

}  // namespace quorbin::python
