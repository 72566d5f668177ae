// assembly_state_create, assembly_state_append_occurrence,
// assembly_state_record_handle, assembly_state_append_edge,
// assembly_state_mark_satisfied, assembly_state_append_overlay,
// assembly_state_snapshot and assembly_state_index_snapshot: the binding of
// the state's appends and of its two descriptions. The checks and the
// appends are the engine layer's; this file converts arguments and writes
// the dictionaries.
#include <climits>
#include <string>
#include <vector>

#include "engine/assembly_state.h"
#include "engine/assembly_state_ops.h"
#include "engine/engine.h"
#include "engine/handle.h"
#include "python/dict_reader.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/handles.h"
#include "python/snapshot_writer.h"
#include "python/surface_bundle.h"

namespace quorbin::python {
namespace {

using engine::AssemblyState;
using engine::RecordId;
using engine::Result;
using engine::Status;

// ---------------------------------------------------------------------------
// Conversions the frame has no kind for. Each runs first in its operation;
// since the parameter is the last one, that is where the frame would have
// converted it, and the error carries the same note.

// None, omitted, or a handle of class `id` (borrowed shared for the call).
// False with the error set and the note added.
bool optional_handle(Args& args, unsigned i, ClassId id, Borrow& borrow, const engine::HandleRef*& out) {
  out = nullptr;
  PyObject* value = args.object(i);
  if (!value || value == Py_None) return true;
  if (!is_instance(value, id)) {
    raise_not_instance(value, class_name(id));
    add_processing_note(args.spec().params[i].name);
    return false;
  }
  if (!borrow.acquire(borrow_cell(value), BorrowMode::Shared)) {
    add_processing_note(args.spec().params[i].name);
    return false;
  }
  out = &handle_of(value);
  return true;
}

// An int (or __index__) in the signed 64-bit range; the interpreter's
// TypeError or OverflowError otherwise, with the note.
bool signed_argument(Args& args, unsigned i, int64_t& out) {
  Ref number(PyNumber_Index(args.object(i)));
  if (number) {
    const long long v = PyLong_AsLongLong(number.get());
    if (!(v == -1 && PyErr_Occurred())) {
      out = v;
      return true;
    }
  }
  add_processing_note(args.spec().params[i].name);
  return false;
}

// ---------------------------------------------------------------------------
// Shared writers

Ref record_id_list(RecordId id) {
  ListWriter list;
  list.u64(id.occurrence).u64(id.record);
  return list.finish();
}

Ref optional_u64(const std::optional<uint64_t>& value) { return value ? new_u64(*value) : new_none(); }

// ---------------------------------------------------------------------------
// The appends

Outcome assembly_state_create(Args& args) {
  engine::Engine& e = args.engine(0);
  Result<uint64_t> index = engine::create_assembly_state(e);
  if (!index) return std::move(index).error();
  return new_handle(engine::assembly_state_handle(e, *index));
}

Outcome assembly_state_append_occurrence(Args& args) {
  Borrow parent_borrow;
  const engine::HandleRef* parent = nullptr;
  if (!optional_handle(args, 4, ClassId::OccurrenceHandle, parent_borrow, parent)) return Outcome::raised();
  engine::Engine& e = args.engine(0);
  const engine::HandleRef& state = args.handle(1);
  const engine::HandleRef& tmpl = args.handle(2);
  if (Status s = engine::check_append_occurrence_owners(e, state, tmpl); !s) return std::move(s).error();

  // The build path is read only now, so a bad path on a closed engine or
  // with a foreign handle reports the handle.
  std::vector<std::string> build_path;
  Status read = for_each_item(args.object(3), [&](PyObject* item) -> Status {
    Result<std::string> text = read_text(item, "build_path");
    if (!text) {
      if (text.error().kind == engine::ErrorKind::Schema) {
        return engine::schema_error("build_path entries must be strings");
      }
      return std::move(text).error();
    }
    build_path.push_back(std::move(text).value());
    return {};
  });
  if (!read) return std::move(read).error();

  Result<uint64_t> o = engine::append_occurrence(e, state, tmpl, std::move(build_path), parent);
  if (!o) return std::move(o).error();
  return new_handle(engine::occurrence_handle(e, state.index, *o));
}

Outcome assembly_state_record_handle(Args& args) {
  const engine::Engine& e = args.engine(0);
  const engine::HandleRef& state = args.handle(1);
  Result<RecordId> id = engine::check_record_handle(e, state, args.handle(2), args.index(3));
  if (!id) return std::move(id).error();
  return new_handle(engine::record_handle(e, state.index, id->occurrence, id->record));
}

Outcome assembly_state_append_edge(Args& args) {
  int64_t order = 0;
  if (!signed_argument(args, 5, order)) return Outcome::raised();
  engine::Engine& e = args.engine(0);
  const engine::HandleRef& state = args.handle(1);
  Result<uint64_t> edge =
      engine::append_edge(e, state, args.handle(2), args.handle(3), std::string(args.text(4)), order);
  if (!edge) return std::move(edge).error();
  return new_handle(engine::edge_handle(e, state.index, *edge));
}

Outcome assembly_state_mark_satisfied(Args& args) {
  if (Status s = engine::mark_satisfied(args.engine(0), args.handle(1), args.handle(2)); !s) {
    return std::move(s).error();
  }
  return new_none();
}

Outcome assembly_state_append_overlay(Args& args) {
  engine::Engine& e = args.engine(0);
  const engine::HandleRef& state = args.handle(1);
  Result<uint64_t> overlay = engine::append_overlay(e, state, args.handle(2), std::string(args.text(3)),
                                                    std::string(args.text(4)));
  if (!overlay) return std::move(overlay).error();
  return new_handle(engine::overlay_handle(e, state.index, *overlay));
}

// ---------------------------------------------------------------------------
// The structural inventory

Ref templates_list(const engine::Engine& e) {
  ListWriter list;
  for (uint64_t t = 0; t < e.templates.size() && list.ok(); ++t) {
    const engine::RegisteredTemplate& tmpl = e.templates[t];
    DictWriter d;
    d.u64("record_count", tmpl.records.size())
        .str("source_summary", tmpl.source_summary)
        .u64("template_id", t)
        .str("template_key", tmpl.template_key);
    list.append(d.finish());
  }
  return list.finish();
}

Ref locators_list(const engine::Engine& e) {
  ListWriter list;
  for (uint64_t t = 0; t < e.templates.size() && list.ok(); ++t) {
    const engine::RegisteredTemplate& tmpl = e.templates[t];
    const uint64_t base = tmpl.first_global_locator_id;
    for (uint64_t l = 0; l < tmpl.locators.size() && list.ok(); ++l) {
      const engine::RegisteredLocator& loc = tmpl.locators[l];
      std::optional<uint64_t> parent;
      if (loc.parent_locator_id) parent = base + *loc.parent_locator_id;
      DictWriter d;
      d.str("ast_path", loc.ast_path)
          .str("authored_summary", loc.authored_summary)
          .u64("locator_id", base + l)
          .str("materialization_anchor", loc.materialization_anchor)
          .set("parent_locator_id", optional_u64(parent))
          .str("role_key", loc.role_key)
          .u64("template_id", t);
      list.append(d.finish());
    }
  }
  return list.finish();
}

Ref occurrences_list(const AssemblyState& st) {
  ListWriter list;
  for (uint64_t o = 0; o < st.occurrences.size() && list.ok(); ++o) {
    const engine::Occurrence& occ = st.occurrences[o];
    DictWriter d;
    d.set("build_path", new_str_list(occ.build_path))
        .u64("occurrence_id", o)
        .set("parent_occurrence_id", optional_u64(occ.parent))
        .u64("template_id", occ.template_index);
    list.append(d.finish());
  }
  return list.finish();
}

Ref records_list(const engine::Engine& e, const AssemblyState& st) {
  ListWriter list;
  for (uint64_t o = 0; o < st.occurrences.size() && list.ok(); ++o) {
    const engine::RegisteredTemplate& tmpl = engine::template_of(e, st.occurrences[o]);
    for (uint64_t k = 0; k < tmpl.records.size() && list.ok(); ++k) {
      const engine::RegisteredRecord& r = tmpl.records[k];
      const RecordId id{o, k};
      DictWriter state;
      state.boolean("satisfied", engine::is_satisfied(st, id))
          .boolean("visible", engine::record_state(st, id) == engine::RecordState::Live);
      DictWriter d;
      d.set("code_owner", new_str_list(r.code_owner))
          .str("inventory_kind", r.inventory_kind)
          .u64("locator_id", tmpl.first_global_locator_id + r.locator_id)
          .u64("occurrence_id", o)
          .set("record_id", record_id_list(id))
          .str("resource_name", r.resource_name)
          .str("semantic_summary", r.semantic_summary)
          .set("state", state.finish())
          .str("surface_key", r.surface_key)
          .u64("template_record_id", k);
      list.append(d.finish());
    }
  }
  return list.finish();
}

Ref edges_list(const AssemblyState& st) {
  ListWriter list;
  for (uint64_t i = 0; i < st.edges.size() && list.ok(); ++i) {
    const engine::Edge& edge = st.edges[i];
    DictWriter d;
    d.u64("edge_id", i)
        .str("operation_key", edge.operation_key)
        .i64("order", edge.order)
        .u64("source_occurrence_id", edge.source_occurrence)
        .set("target_record_id", record_id_list(edge.target));
    list.append(d.finish());
  }
  return list.finish();
}

Ref overlays_list(const AssemblyState& st) {
  ListWriter list;
  for (uint64_t i = 0; i < st.overlays.size() && list.ok(); ++i) {
    const engine::Overlay& overlay = st.overlays[i];
    DictWriter d;
    d.str("kind", overlay.kind)
        .u64("overlay_id", i)
        .str("source_label", overlay.source_label)
        .set("target_record_id", record_id_list(overlay.target));
    list.append(d.finish());
  }
  return list.finish();
}

// The fixed, empty form; the filled one is the materialization plan.
Ref empty_materialization() {
  DictWriter d;
  d.set("artifact_requests", ListWriter().finish())
      .set("debug_views", DictWriter().finish())
      .set("hygiene_stream", ListWriter().finish())
      .set("operation_stream", ListWriter().finish())
      .none("root_occurrence_id");
  return d.finish();
}

Outcome assembly_state_snapshot(Args& args) {
  const engine::Engine& e = args.engine(0);
  Result<const AssemblyState*> st = engine::resolve_state(e, args.handle(1));
  if (!st) return std::move(st).error();
  Result<const engine::SurfaceBundle*> bundle = engine::registered_surface_bundle(e);
  if (!bundle) return std::move(bundle).error();
  DictWriter d;
  d.str("schema", "quorbin.structural-inventory.v1")
      .set("surface_bundle", surface_bundle_snapshot(**bundle))
      .set("templates", templates_list(e))
      .set("locators", locators_list(e))
      .set("occurrences", occurrences_list(**st))
      .set("records", records_list(e, **st))
      .set("edges", edges_list(**st))
      .set("overlays", overlays_list(**st))
      .set("materialization", empty_materialization())
      .set("diagnostics", ListWriter().finish());
  return d.finish();
}

// ---------------------------------------------------------------------------
// The index snapshot

Ref key_of(const std::string& key) { return new_str(key); }
Ref key_of(const std::vector<std::string>& key) { return new_str_list(key); }
Ref key_of(const std::pair<std::string, std::string>& key) {
  ListWriter list;
  list.str(key.first).str(key.second);
  return list.finish();
}

template <class Map>
Ref index_list(const Map& index) {
  ListWriter list;
  for (auto it = index.begin(); it != index.end() && list.ok(); ++it) {
    ListWriter records;
    for (auto r = it->second.begin(); r != it->second.end() && records.ok(); ++r) records.append(record_id_list(*r));
    DictWriter d;
    d.set("key", key_of(it->first)).set("records", records.finish());
    list.append(d.finish());
  }
  return list.finish();
}

Outcome assembly_state_index_snapshot(Args& args) {
  Result<const AssemblyState*> st = engine::resolve_state(args.engine(0), args.handle(1));
  if (!st) return std::move(st).error();
  const engine::RecordIndexes& ix = (*st)->indexes;
  DictWriter d;
  d.set("by_build_path", index_list(ix.by_build_path))
      .set("by_surface", index_list(ix.by_surface))
      .set("by_resource_name", index_list(ix.by_resource_name))
      .set("by_inventory_kind", index_list(ix.by_inventory_kind))
      .set("by_owner", index_list(ix.by_owner))
      .set("by_name_and_kind", index_list(ix.by_name_and_kind));
  return d.finish();
}

// ---------------------------------------------------------------------------
// Specs

constexpr Param kCreateParams[] = {{"engine", Conv::EngineMut}};
constexpr Param kAppendOccurrenceParams[] = {{"engine", Conv::EngineMut},
                                             {"state", Conv::AssemblyState},
                                             {"template", Conv::Template},
                                             {"build_path", Conv::Object},
                                             {"parent_occurrence", Conv::Object, false}};
constexpr Param kRecordHandleParams[] = {{"engine", Conv::Engine},
                                         {"state", Conv::AssemblyState},
                                         {"occurrence", Conv::Occurrence},
                                         {"template_record_index", Conv::Index}};
constexpr Param kAppendEdgeParams[] = {{"engine", Conv::EngineMut}, {"state", Conv::AssemblyState},
                                       {"target", Conv::Record},    {"source", Conv::Occurrence},
                                       {"operation_key", Conv::Text}, {"order", Conv::Object}};
constexpr Param kMarkSatisfiedParams[] = {
    {"engine", Conv::EngineMut}, {"state", Conv::AssemblyState}, {"record", Conv::Record}};
constexpr Param kAppendOverlayParams[] = {{"engine", Conv::EngineMut},
                                          {"state", Conv::AssemblyState},
                                          {"target", Conv::Record},
                                          {"kind", Conv::Text},
                                          {"source_label", Conv::Text}};
constexpr Param kSnapshotParams[] = {{"engine", Conv::Engine}, {"state", Conv::AssemblyState}};

constexpr FunctionSpec kCreate{"assembly_state_create", nullptr, kCreateParams, 1, assembly_state_create};
constexpr FunctionSpec kAppendOccurrence{"assembly_state_append_occurrence", nullptr, kAppendOccurrenceParams, 5,
                                         assembly_state_append_occurrence};
constexpr FunctionSpec kRecordHandle{"assembly_state_record_handle", nullptr, kRecordHandleParams, 4,
                                     assembly_state_record_handle};
constexpr FunctionSpec kAppendEdge{"assembly_state_append_edge", nullptr, kAppendEdgeParams, 6,
                                   assembly_state_append_edge};
constexpr FunctionSpec kMarkSatisfied{"assembly_state_mark_satisfied", nullptr, kMarkSatisfiedParams, 3,
                                      assembly_state_mark_satisfied};
constexpr FunctionSpec kAppendOverlay{"assembly_state_append_overlay", nullptr, kAppendOverlayParams, 5,
                                      assembly_state_append_overlay};
constexpr FunctionSpec kSnapshot{"assembly_state_snapshot", nullptr, kSnapshotParams, 2, assembly_state_snapshot};
constexpr FunctionSpec kIndexSnapshot{"assembly_state_index_snapshot", nullptr, kSnapshotParams, 2,
                                      assembly_state_index_snapshot};

}  // namespace

namespace exports {
PyMethodDef assembly_state_create = QUORBIN_FUNCTION_DEF(kCreate, "assembly_state_create(engine)");
PyMethodDef assembly_state_append_occurrence = QUORBIN_FUNCTION_DEF(
    kAppendOccurrence, "assembly_state_append_occurrence(engine, state, template, build_path, parent_occurrence=None)");
PyMethodDef assembly_state_record_handle = QUORBIN_FUNCTION_DEF(
    kRecordHandle, "assembly_state_record_handle(engine, state, occurrence, template_record_index)");
PyMethodDef assembly_state_append_edge = QUORBIN_FUNCTION_DEF(
    kAppendEdge, "assembly_state_append_edge(engine, state, target, source, operation_key, order)");
PyMethodDef assembly_state_mark_satisfied =
    QUORBIN_FUNCTION_DEF(kMarkSatisfied, "assembly_state_mark_satisfied(engine, state, record)");
PyMethodDef assembly_state_append_overlay = QUORBIN_FUNCTION_DEF(
    kAppendOverlay, "assembly_state_append_overlay(engine, state, target, kind, source_label)");
PyMethodDef assembly_state_snapshot = QUORBIN_FUNCTION_DEF(kSnapshot, "assembly_state_snapshot(engine, state)");
PyMethodDef assembly_state_index_snapshot =
    QUORBIN_FUNCTION_DEF(kIndexSnapshot, "assembly_state_index_snapshot(engine, state)");
}  // namespace exports

}  // namespace quorbin::python
