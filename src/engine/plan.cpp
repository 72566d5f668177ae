#include "engine/plan.h"

#include <algorithm>
#include <iterator>
#include <set>
#include <utility>

#include "engine/assembly_state_ops.h"
#include "engine/package.h"
#include "engine/quote.h"

namespace quorbin::engine {
namespace {

using NameSet = std::set<std::string>;

constexpr std::string_view kFixedKeys[] = {kGateNoUnresolved, kKeepName, kManagedImportRequest, kRenameIfCollides,
                                           kStripMarker};

const TemplatePackage* package_of(const Engine& engine, const Occurrence& occurrence) {
  return template_of(engine, occurrence).package.get();
}

NameSet first_scope_bindings(const TemplatePackage& package) {
  if (package.scopes.empty()) return {};
  std::vector<std::string> names = package.binding_names(package.scopes.front().local_bindings);
  return NameSet(std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
}

std::vector<std::string> shared_names(const NameSet& a, const NameSet& b) {
  std::vector<std::string> out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

// Rows are numbered by position when packages are built; look there first
// and search only if the numbering says otherwise.
template <class Rows, class Id>
const auto* row_with_id(const Rows& rows, uint64_t id, Id Rows::value_type::*field) {
  if (id < rows.size() && rows[id].*field == id) return &rows[id];
  for (const auto& row : rows) {
    if (row.*field == id) return &row;
  }
  return static_cast<const typename Rows::value_type*>(nullptr);
}

size_t path_depth(std::string_view path) {
  size_t depth = 0;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) ++depth;
    start = end + 1;
  }
  return depth;
}

bool scope_covers(std::string_view scope_path, std::string_view statement_path) {
  if (scope_path.empty() || scope_path == statement_path) return true;
  return statement_path.size() > scope_path.size() && statement_path.starts_with(scope_path) &&
         statement_path[scope_path.size()] == '/';
}

struct TargetScope {
  uint64_t scope_id = 0;
  NameSet bindings;
};

// The scope a block edge's target record stands in: its locator's AST path,
// less a final "/value", gives the statement; the deepest scope covering
// that statement wins, the first of equal depth.
Result<TargetScope> target_scope(const TemplatePackage& package, uint64_t template_record_id) {
  const PackageRecord* record = row_with_id(package.records, template_record_id, &PackageRecord::template_record_id);
  if (!record) return schema_error("target record locator is missing");
  const PackageLocator* locator = row_with_id(package.locators, record->locator_id, &PackageLocator::locator_id);
  if (!locator) return schema_error("target record locator is missing");
  std::string_view statement = package.ast_path(locator->ast_path);
  constexpr std::string_view kValue = "/value";
  if (statement.ends_with(kValue)) statement.remove_suffix(kValue.size());

  const ScopeRow* best = nullptr;
  size_t best_depth = 0;
  for (const ScopeRow& scope : package.scopes) {
    const std::string& path = package.ast_path(scope.ast_path);
    if (!scope_covers(path, statement)) continue;
    const size_t depth = path_depth(path);
    if (!best || depth > best_depth) {
      best = &scope;
      best_depth = depth;
    }
  }
  TargetScope out;
  if (best) {
    out.scope_id = best->scope_id;
    std::vector<std::string> names = package.binding_names(best->local_bindings);
    out.bindings = NameSet(std::make_move_iterator(names.begin()), std::make_move_iterator(names.end()));
  }
  return out;
}

bool unresolved_capable(std::string_view kind) {
  return kind.starts_with("hole.") || kind.ends_with(".demand") || kind == "external.bind";
}

std::optional<uint64_t> default_root(const AssemblyState& state) {
  for (uint64_t o = 0; o < state.occurrences.size(); ++o) {
    if (!state.occurrences[o].parent && state.occurrences[o].live) return o;
  }
  return std::nullopt;
}

Status check_operation_keys(const SurfaceBundle& bundle, const AssemblyState& state) {
  std::set<std::string, std::less<>> missing;
  auto need = [&](std::string_view key) {
    if (!bundle.has_operation(key)) missing.emplace(key);
  };
  for (const Edge& edge : state.edges) need(edge.operation_key);
  for (const Overlay& overlay : state.overlays) need(overlay_operation_key(overlay.kind));
  for (std::string_view key : kFixedKeys) need(key);
  if (missing.empty()) return {};
  return schema_error("unregistered materialization operation keys: " + quoted_list(missing));
}

void root_imports(const Engine& engine, const AssemblyState& state, uint64_t root, MaterializationPlan& plan) {
  const TemplatePackage* package = package_of(engine, state.occurrences[root]);
  if (!package) return;
  std::vector<const ManagedImportRow*> rows;
  for (const ManagedImportRow& row : package->managed_imports) {
    if (row.module_path) rows.push_back(&row);
  }
  if (rows.empty()) return;
  NameSet finals;
  for (const ManagedImportRow* row : rows) finals.insert(package->string(row->final_local_name));
  std::vector<std::string> colliding = shared_names(finals, first_scope_bindings(*package));
  if (!colliding.empty()) {
    PlanHygiene h;
    h.kind = HygieneKind::RootRename;
    h.operation_key = kRenameIfCollides;
    h.colliding_names = std::move(colliding);
    h.root_occurrence = root;
    plan.hygiene.push_back(std::move(h));
  }
  for (const ManagedImportRow* row : rows) {
    PlanHygiene h;
    h.kind = HygieneKind::ManagedImport;
    h.operation_key = kManagedImportRequest;
    h.final_local_name = package->string(row->final_local_name);
    std::string dotted;
    for (const std::string& name : package->path_names(*row->module_path)) {
      if (!dotted.empty()) dotted += '.';
      dotted += name;
    }
    h.module_path = std::move(dotted);
    if (row->original_symbol) h.original_symbol = package->string(*row->original_symbol);
    h.root_occurrence = root;
    plan.hygiene.push_back(std::move(h));
    ++plan.managed_import_request_count;
  }
}

Status edge_collisions(const Engine& engine, const AssemblyState& state, MaterializationPlan& plan) {
  for (const Edge& edge : state.edges) {
    if (edge.operation_key != kSpliceBodyAtMarker) continue;
    const TemplatePackage* source = package_of(engine, state.occurrences[edge.source_occurrence]);
    const TemplatePackage* target = package_of(engine, state.occurrences[edge.target.occurrence]);
    if (!source || !target) continue;
    Result<TargetScope> scope = target_scope(*target, edge.target.record);
    if (!scope) return std::move(scope).error();
    std::vector<std::string> colliding = shared_names(first_scope_bindings(*source), scope->bindings);
    if (colliding.empty()) continue;
    PlanHygiene h;
    h.kind = HygieneKind::EdgeRename;
    h.operation_key = kRenameIfCollides;
    h.colliding_names = std::move(colliding);
    h.source_occurrence = edge.source_occurrence;
    h.record_id = edge.target;
    h.target_scope_id = scope->scope_id;
    plan.hygiene.push_back(std::move(h));
    ++plan.boundary_marker_count;
  }
  return {};
}

void boundary_markers(const Engine& engine, const AssemblyState& state, MaterializationPlan& plan) {
  for (uint64_t o = 0; o < state.occurrences.size(); ++o) {
    if (!state.occurrences[o].live) continue;
    const TemplatePackage* package = package_of(engine, state.occurrences[o]);
    if (!package) continue;
    for (const MarkerRow& row : package->markers) {
      const std::string& source_name = package->string(row.source_name);
      const bool keep = source_name == "quorbin_keep";
      if (!keep && source_name != "quorbin_export" && source_name != "quorbin_import" && source_name != "quorbin_pass") {
        continue;
      }
      PlanHygiene h;
      h.kind = HygieneKind::BoundaryMarker;
      h.operation_key = keep ? kKeepName : kStripMarker;
      h.marker = source_name;
      if (row.resource_name) h.name = package->string(*row.resource_name);
      h.occurrence = o;
      h.target_scope_id = row.scope_id;
      plan.hygiene.push_back(std::move(h));
      ++plan.boundary_marker_count;
    }
  }
}

PlanHygiene gate(const Engine& engine, const AssemblyState& state, std::optional<uint64_t> root) {
  PlanHygiene h;
  h.kind = HygieneKind::Gate;
  h.operation_key = kGateNoUnresolved;
  h.root_occurrence = root;
  h.satisfied_record_count = state.satisfied.size();
  for (uint64_t o = 0; o < state.occurrences.size(); ++o) {
    const RegisteredTemplate& tmpl = template_of(engine, state.occurrences[o]);
    for (uint64_t k = 0; k < tmpl.records.size(); ++k) {
      if (record_state(state, {o, k}) == RecordState::Live) ++h.live_record_count;
    }
    // The package's records, when there is a package, are what the
    // materializer will see; otherwise the registered ones.
    auto count = [&](std::string_view kind, uint64_t k) {
      if (!unresolved_capable(kind)) return;
      ++h.unresolved_capable_record_count;
      if (record_state(state, {o, k}) == RecordState::Live) ++h.unresolved_live_record_count;
    };
    if (const TemplatePackage* package = tmpl.package.get()) {
      for (const PackageRecord& r : package->records) count(package->string(r.inventory_kind), r.template_record_id);
    } else {
      for (uint64_t k = 0; k < tmpl.records.size(); ++k) count(tmpl.records[k].inventory_kind, k);
    }
  }
  return h;
}

}  // namespace

std::string overlay_operation_key(std::string_view kind) {
  if (kind == kIdentifierOverlayKind) return "quorbin.operation.rewrite_identifier";
  if (kind == kExternalOverlayKind) return "quorbin.operation.lower_external_ref";
  return "quorbin.operation.overlay." + std::string(kind);
}

Result<MaterializationPlan> materialization_plan(const Engine& engine, const HandleRef& state_ref,
                                                 std::optional<uint64_t> root_index) {
  Result<const AssemblyState*> resolved = resolve_state(engine, state_ref);
  if (!resolved) return std::move(resolved).error();
  const AssemblyState& state = **resolved;
  if (root_index && *root_index >= state.occurrences.size()) {
    return stale_handle_error("unknown native occurrence handle");
  }
  Result<const SurfaceBundle*> bundle = registered_surface_bundle(engine);
  if (!bundle) return std::move(bundle).error();
  // Before any stream is built, so an empty state reports missing keys too.
  if (Status s = check_operation_keys(**bundle, state); !s) return std::move(s).error();

  MaterializationPlan plan;
  plan.root = root_index ? root_index : default_root(state);
  plan.edge_count = state.edges.size();
  plan.overlay_count = state.overlays.size();

  if (plan.root) root_imports(engine, state, *plan.root, plan);
  if (Status s = edge_collisions(engine, state, plan); !s) return std::move(s).error();
  boundary_markers(engine, state, plan);
  plan.hygiene.push_back(gate(engine, state, plan.root));

  plan.operations.reserve(state.edges.size() + state.overlays.size());
  for (uint64_t i = 0; i < state.edges.size(); ++i) {
    const Edge& edge = state.edges[i];
    PlanOperation op;
    op.is_edge = true;
    op.id = i;
    op.target = edge.target;
    op.target_state = record_state(state, edge.target);
    op.operation_key = edge.operation_key;
    op.order = edge.order;
    op.source_occurrence = edge.source_occurrence;
    plan.operations.push_back(std::move(op));
  }
  for (uint64_t i = 0; i < state.overlays.size(); ++i) {
    const Overlay& overlay = state.overlays[i];
    PlanOperation op;
    op.is_edge = false;
    op.id = i;
    op.target = overlay.target;
    op.target_state = record_state(state, overlay.target);
    op.operation_key = overlay_operation_key(overlay.kind);
    op.overlay_kind = overlay.kind;
    op.source_label = overlay.source_label;
    plan.operations.push_back(std::move(op));
  }
  return plan;
}

}  // namespace quorbin::engine
