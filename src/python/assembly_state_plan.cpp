// assembly_state_materialization_plan_snapshot: the plan the engine layer
// computes, written as a dictionary.
#include <optional>

#include "engine/assembly_state.h"
#include "engine/engine.h"
#include "engine/plan.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

using engine::HygieneKind;
using engine::RecordId;

Ref record_id_list(RecordId id) {
  ListWriter list;
  list.u64(id.occurrence).u64(id.record);
  return list.finish();
}

Ref optional_u64(const std::optional<uint64_t>& value) { return value ? new_u64(*value) : new_none(); }

Ref captures_of(const engine::PlanHygiene& h) {
  DictWriter c;
  switch (h.kind) {
    case HygieneKind::RootRename:
      c.set("colliding_names", new_str_list(h.colliding_names)).set("root_occurrence_id", optional_u64(h.root_occurrence));
      break;
    case HygieneKind::ManagedImport:
      c.str("final_local_name", h.final_local_name)
          .str("module_path", h.module_path)
          .set("original_symbol", h.original_symbol ? new_str(*h.original_symbol) : new_none())
          .set("root_occurrence_id", optional_u64(h.root_occurrence));
      break;
    case HygieneKind::EdgeRename:
      c.set("colliding_names", new_str_list(h.colliding_names)).u64("source_occurrence_id", h.source_occurrence);
      break;
    case HygieneKind::BoundaryMarker:
      c.str("marker", h.marker).str("name", h.name).u64("occurrence_id", h.occurrence);
      break;
    case HygieneKind::Gate:
      c.u64("live_record_count", h.live_record_count)
          .set("root_occurrence_id", optional_u64(h.root_occurrence))
          .u64("satisfied_record_count", h.satisfied_record_count)
          .u64("unresolved_capable_record_count", h.unresolved_capable_record_count)
          .u64("unresolved_live_record_count", h.unresolved_live_record_count);
      break;
  }
  return c.finish();
}

Ref hygiene_entry(const engine::PlanHygiene& h) {
  DictWriter d;
  d.set("captures", captures_of(h))
      .str("operation_key", h.operation_key)
      .set("record_id", h.record_id ? record_id_list(*h.record_id) : new_none())
      .u64("target_scope_id", h.target_scope_id);
  return d.finish();
}

Ref operation_entry(const engine::PlanOperation& op) {
  DictWriter captures;
  if (op.is_edge) {
    captures.u64("edge_id", op.id).str("target_state", engine::record_state_text(op.target_state));
  } else {
    captures.u64("overlay_id", op.id)
        .str("overlay_kind", op.overlay_kind)
        .str("source_label", op.source_label)
        .str("target_state", engine::record_state_text(op.target_state));
  }
  DictWriter d;
  d.set("captures", captures.finish())
      .str("operation_key", op.operation_key)
      .i64("order", op.order)
      .set("overlay_id", op.is_edge ? new_none() : new_u64(op.id))
      .set("source_occurrence_id", op.is_edge ? new_u64(op.source_occurrence) : new_none())
      .set("target_record_id", record_id_list(op.target));
  return d.finish();
}

Outcome assembly_state_materialization_plan_snapshot(Args& args) {
  engine::Result<engine::MaterializationPlan> plan =
      engine::materialization_plan(args.engine(0), args.handle(1), args.opt_index(2));
  if (!plan) return std::move(plan).error();

  DictWriter views;
  views.u64("edge_count", plan->edge_count).u64("overlay_count", plan->overlay_count);
  if (plan->boundary_marker_count != 0) views.u64("boundary_marker_count", plan->boundary_marker_count);
  if (plan->managed_import_request_count != 0) {
    views.u64("managed_import_request_count", plan->managed_import_request_count);
  }
  ListWriter hygiene;
  for (const engine::PlanHygiene& h : plan->hygiene) {
    if (!hygiene.ok()) break;
    hygiene.append(hygiene_entry(h));
  }
  ListWriter operations;
  for (const engine::PlanOperation& op : plan->operations) {
    if (!operations.ok()) break;
    operations.append(operation_entry(op));
  }
  ListWriter artifacts;
  artifacts.str("python_ast");
  DictWriter d;
  d.set("artifact_requests", artifacts.finish())
      .set("debug_views", views.finish())
      .set("hygiene_stream", hygiene.finish())
      .set("operation_stream", operations.finish())
      .set("root_occurrence_id", optional_u64(plan->root));
  return d.finish();
}

// The root index has no default: None must be passed to ask for the default root.
constexpr Param kPlanParams[] = {
    {"engine", Conv::Engine}, {"state", Conv::AssemblyState}, {"root_occurrence_index", Conv::OptIndex}};
constexpr FunctionSpec kPlan{"assembly_state_materialization_plan_snapshot", nullptr, kPlanParams, 3,
                             assembly_state_materialization_plan_snapshot};

}  // namespace

namespace exports {
PyMethodDef assembly_state_materialization_plan_snapshot = QUORBIN_FUNCTION_DEF(
    kPlan, "assembly_state_materialization_plan_snapshot(engine, state, root_occurrence_index)");
}  // namespace exports

}  // namespace quorbin::python
