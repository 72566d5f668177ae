#include "python/handles.h"

#include <new>

#include "python/frame.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

using engine::HandleKind;
using engine::HandleRef;

// ---------------------------------------------------------------------------
// Shared type plumbing

template <class T>
T* allocate(ClassId id) {
  PyTypeObject* type = type_object(id);
  PyObject* object = type->tp_alloc(type, 0);
  return reinterpret_cast<T*>(object);
}

template <class T>
void destroy(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<T*>(self)->~T();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

PyTypeObject* make_type(const char* qualified_name, Py_ssize_t size, PyType_Slot* slots) {
  PyType_Spec spec{};
  spec.name = qualified_name;
  spec.basicsize = static_cast<int>(size);
  // No constructor, no subclassing, immutable like the builtins; no
  // __dict__ or __weakref__ since neither offset is set.
  spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  spec.slots = slots;
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// ---------------------------------------------------------------------------
// EngineHandle

const engine::Engine& self_engine(PyObject* self) { return engine_of(self); }

Outcome engine_get_epoch(PyObject* self) { return new_u64(self_engine(self).engine_epoch); }
Outcome engine_get_kind(PyObject*) { return new_str("engine"); }
Outcome engine_get_generation(PyObject* self) { return new_u64(self_engine(self).generation); }
Outcome engine_get_closed(PyObject* self) { return new_bool(self_engine(self).closed); }
Outcome engine_method_snapshot(PyObject* self) { return engine_snapshot(self_engine(self)); }

PyGetSetDef g_engine_getset[] = {
    {"engine_epoch", &getter_entry<engine_get_epoch>, nullptr, nullptr, nullptr},
    {"kind", &getter_entry<engine_get_kind>, nullptr, nullptr, nullptr},
    {"generation", &getter_entry<engine_get_generation>, nullptr, nullptr, nullptr},
    {"closed", &getter_entry<engine_get_closed>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_engine_methods[] = {
    QUORBIN_SELF_METHOD_DEF("snapshot", engine_method_snapshot, "snapshot($self, /)"),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// The value handles

const HandleRef& self_handle(PyObject* self) { return handle_of(self); }

const char* kind_text(HandleKind kind) {
  switch (kind) {
    case HandleKind::Template: return "template";
    case HandleKind::AssemblyState: return "assembly-state";
    case HandleKind::Occurrence: return "occurrence";
    case HandleKind::Record: return "record";
    case HandleKind::Edge: return "edge";
    case HandleKind::Overlay: return "overlay";
    case HandleKind::Workspace: return "materialization-workspace";
  }
  return "?";
}

Outcome handle_get_kind(PyObject* self) { return new_str(kind_text(self_handle(self).kind)); }
Outcome handle_get_index(PyObject* self) { return new_u64(self_handle(self).index); }
Outcome handle_get_state_index(PyObject* self) { return new_u64(self_handle(self).state_index); }
Outcome handle_get_occurrence_index(PyObject* self) { return new_u64(self_handle(self).occurrence_index); }
Outcome handle_get_template_record_index(PyObject* self) {
  return new_u64(self_handle(self).template_record_index);
}
Outcome handle_get_generation(PyObject* self) { return new_u64(self_handle(self).generation); }

Outcome handle_method_snapshot(PyObject* self) {
  const HandleRef& h = self_handle(self);
  DictWriter d;
  d.u64("owner_id", h.owner_id).str("kind", kind_text(h.kind));
  switch (h.kind) {
    case HandleKind::Template:
    case HandleKind::AssemblyState: d.u64("index", h.index); break;
    case HandleKind::Occurrence:
    case HandleKind::Edge:
    case HandleKind::Overlay: d.u64("state_index", h.state_index).u64("index", h.index); break;
    case HandleKind::Record:
      d.u64("state_index", h.state_index)
          .u64("occurrence_index", h.occurrence_index)
          .u64("template_record_index", h.template_record_index);
      break;
    case HandleKind::Workspace: break;  // has no snapshot() method
  }
  d.u64("generation", h.generation);
  return d.finish();
}

#define QUORBIN_GETTER(name, run) {name, &getter_entry<run>, nullptr, nullptr, nullptr}
constexpr PyGetSetDef kGetSetEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

PyGetSetDef g_index_getset[] = {
    QUORBIN_GETTER("kind", handle_get_kind),
    QUORBIN_GETTER("index", handle_get_index),
    kGetSetEnd,
};
PyGetSetDef g_state_member_getset[] = {
    QUORBIN_GETTER("kind", handle_get_kind),
    QUORBIN_GETTER("index", handle_get_index),
    QUORBIN_GETTER("state_index", handle_get_state_index),
    kGetSetEnd,
};
PyGetSetDef g_record_getset[] = {
    QUORBIN_GETTER("kind", handle_get_kind),
    QUORBIN_GETTER("occurrence_index", handle_get_occurrence_index),
    QUORBIN_GETTER("template_record_index", handle_get_template_record_index),
    kGetSetEnd,
};
PyGetSetDef g_workspace_getset[] = {
    QUORBIN_GETTER("kind", handle_get_kind),
    QUORBIN_GETTER("generation", handle_get_generation),
    kGetSetEnd,
};

PyMethodDef g_handle_methods[] = {
    QUORBIN_SELF_METHOD_DEF("snapshot", handle_method_snapshot, "snapshot($self, /)"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// ---------------------------------------------------------------------------
// Types

PyTypeObject* create_engine_handle_type() {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&destroy<EngineObject>)},
      {Py_tp_getset, g_engine_getset},
      {Py_tp_methods, g_engine_methods},
      {0, nullptr},
  };
  return make_type("_quorbin_native_engine.EngineHandle", sizeof(EngineObject), slots);
}

PyTypeObject* create_handle_type(ClassId id) {
  PyGetSetDef* getset = g_index_getset;
  bool has_snapshot = true;
  switch (id) {
    case ClassId::TemplateHandle:
    case ClassId::AssemblyStateHandle: getset = g_index_getset; break;
    case ClassId::OccurrenceHandle:
    case ClassId::EdgeHandle:
    case ClassId::OverlayHandle: getset = g_state_member_getset; break;
    case ClassId::RecordHandle: getset = g_record_getset; break;
    case ClassId::MaterializationWorkspaceHandle:
      getset = g_workspace_getset;
      has_snapshot = false;
      break;
    default: return nullptr;
  }
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&destroy<HandleObject>)},
      {Py_tp_getset, getset},
      {has_snapshot ? Py_tp_methods : 0, has_snapshot ? g_handle_methods : nullptr},
      {0, nullptr},
  };
  const std::string name = std::string("_quorbin_native_engine.") + class_name(id);
  // PyType_FromSpec copies the name into the new type.
  return make_type(name.c_str(), sizeof(HandleObject), slots);
}

ClassId class_of(HandleKind kind) {
  switch (kind) {
    case HandleKind::Template: return ClassId::TemplateHandle;
    case HandleKind::AssemblyState: return ClassId::AssemblyStateHandle;
    case HandleKind::Occurrence: return ClassId::OccurrenceHandle;
    case HandleKind::Record: return ClassId::RecordHandle;
    case HandleKind::Edge: return ClassId::EdgeHandle;
    case HandleKind::Overlay: return ClassId::OverlayHandle;
    case HandleKind::Workspace: return ClassId::MaterializationWorkspaceHandle;
  }
  return ClassId::TemplateHandle;
}

// ---------------------------------------------------------------------------
// Creation and snapshots

Ref new_engine_handle(engine::Engine&& engine) {
  auto* object = allocate<EngineObject>(ClassId::EngineHandle);
  if (!object) return Ref();
  new (&object->header.borrow) BorrowCell();
  new (&object->engine) engine::Engine(std::move(engine));
  return Ref(reinterpret_cast<PyObject*>(object));
}

Ref new_handle(const HandleRef& ref) {
  auto* object = allocate<HandleObject>(class_of(ref.kind));
  if (!object) return Ref();
  new (&object->header.borrow) BorrowCell();
  new (&object->ref) HandleRef(ref);
  return Ref(reinterpret_cast<PyObject*>(object));
}

Ref engine_snapshot(const engine::Engine& engine) {
  const engine::SurfaceBundle* bundle = engine.surface_bundle ? &*engine.surface_bundle : nullptr;
  DictWriter d;
  d.u64("engine_epoch", engine.engine_epoch)
      .u64("owner_id", engine.owner_id)
      .str("kind", "engine")
      .u64("index", engine.index)
      .u64("generation", engine.generation)
      .boolean("closed", engine.closed)
      .boolean("surface_bundle_registered", bundle != nullptr)
      .u64("surface_count", bundle ? bundle->surfaces.size() : 0)
      .u64("operation_count", bundle ? bundle->operations.size() : 0)
      .u64("pattern_count", bundle ? bundle->patterns.size() : 0);
  return d.finish();
}

}  // namespace quorbin::python
