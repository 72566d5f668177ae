#include "engine/request_batch.h"

#include <utility>

#include "engine/assembly_state_ops.h"
#include "engine/handle.h"

namespace quorbin::engine {
namespace {

struct Chosen {
  RecordId target;
  std::vector<uint64_t> production_records;
};

// Exactly one candidate, or several that are all equivalent to the first
// when the request allows it; the first is taken.
Result<Chosen> choose(const Engine& engine, const AssemblyState& state, const IdentifierBindings& bindings,
                      const BatchRequest& request, std::vector<Chosen>& candidates) {
  bool take_first = candidates.size() == 1;
  if (candidates.size() > 1 && request.allow_equivalent_demand_sites) {
    take_first = true;
    for (size_t c = 1; c < candidates.size() && take_first; ++c) {
      Result<bool> same = equivalent_demand_sites(engine, state, bindings, candidates[0].target, candidates[c].target);
      if (!same) return std::move(same).error();
      take_first = *same;
    }
  }
  if (!take_first) {
    return schema_error("expected exactly one candidate, found " + std::to_string(candidates.size()));
  }
  return std::move(candidates[0]);
}

Status apply_one(Engine& engine, uint64_t state_index, const BatchRequest& request, uint64_t request_index,
                 BatchOutcome& outcome) {
  if (Status s = check_open(engine); !s) return s;
  if (state_index >= engine.assembly_states.size()) return stale_handle_error("unknown native assembly state handle");
  const SurfaceBundle* bundle = nullptr;
  if (request.kind == ResourceKind::Composable) {
    Result<const SurfaceBundle*> b = registered_surface_bundle(engine);
    if (!b) return std::move(b).error();
    bundle = *b;
  }
  AssemblyState& state = engine.assembly_states[state_index];

  Result<IdentifierBindings> bindings = build_identifier_bindings(engine, state, {});
  if (!bindings) return std::move(bindings).error();
  Result<std::vector<RecordId>> found =
      demand_search(engine, state, target_kinds(request.kind), request.target, *bindings);
  if (!found) return std::move(found).error();

  std::vector<Chosen> candidates;
  candidates.reserve(found->size());
  for (RecordId id : *found) {
    if (request.kind != ResourceKind::Composable) {
      candidates.push_back(Chosen{id, {}});
      continue;
    }
    std::vector<uint64_t> productions =
        production_records(*bundle, engine.templates[request.source_template], record_of(engine, state, id));
    if (!productions.empty()) candidates.push_back(Chosen{id, std::move(productions)});
  }
  outcome.candidate_count += candidates.size();

  Result<Chosen> chosen = choose(engine, state, *bindings, request, candidates);
  if (!chosen) return std::move(chosen).error();
  const RecordId t = chosen->target;
  const RegisteredRecord& target_record = record_of(engine, state, t);

  BatchEvent event;
  event.kind = request.kind;
  event.request_index = request_index;
  event.target = t;
  switch (request.kind) {
    case ResourceKind::Composable: {
      std::vector<std::string> path = state.occurrences[t.occurrence].build_path;
      path.push_back(request.source_instance_name);
      event.operation_key = operation_for_hole(target_record.inventory_kind);
      // Only an expression hole is used up by one production; the other
      // holes stay open for further ones.
      event.mark_satisfied = target_record.inventory_kind == "hole.expr";
      event.source_build_path = path;
      event.source_occurrence = push_occurrence(state, engine.templates[request.source_template],
                                                request.source_template, std::move(path), t.occurrence);
      event.edge_id = push_edge(state, Edge{t, event.source_occurrence, std::string(event.operation_key),
                                            request.operation_order});
      event.order = request.operation_order;
      event.production_records = std::move(chosen->production_records);
      if (event.mark_satisfied) state.satisfied.insert(t);
      break;
    }
    case ResourceKind::External:
      // Taken before the overlay is pushed: the bindings view the overlays.
      event.source_label = effective_name(*bindings, t.occurrence, target_record);
      event.value_token = request.value_token;
      event.overlay_id = push_overlay(state, Overlay{t, std::string(kExternalOverlayKind), event.source_label});
      state.satisfied.insert(t);
      break;
    case ResourceKind::Identifier:
      event.source_label = request.identifier;
      event.overlay_id = push_overlay(state, Overlay{t, std::string(kIdentifierOverlayKind), request.identifier});
      state.satisfied.insert(t);
      break;
  }
  outcome.events.push_back(std::move(event));
  return {};
}

}  // namespace

std::optional<ResourceKind> parse_resource_kind(std::string_view text) {
  if (text == "composable") return ResourceKind::Composable;
  if (text == "external") return ResourceKind::External;
  if (text == "identifier") return ResourceKind::Identifier;
  return std::nullopt;
}

std::string_view resource_kind_text(ResourceKind kind) {
  switch (kind) {
    case ResourceKind::Composable: return "composable";
    case ResourceKind::External: return "external";
    case ResourceKind::Identifier: return "identifier";
  }
  return "composable";
}

const std::vector<std::string>& target_kinds(ResourceKind kind) {
  static const std::vector<std::string> composable{"hole.block",  "hole.expr",
                                                   "hole.params", "hole.elif",
                                                   "hole.positional_variadic", "hole.named_variadic"};
  static const std::vector<std::string> external{"external.bind"};
  static const std::vector<std::string> identifier{"identifier.demand"};
  switch (kind) {
    case ResourceKind::Composable: return composable;
    case ResourceKind::External: return external;
    case ResourceKind::Identifier: return identifier;
  }
  return composable;
}

std::string_view operation_for_hole(std::string_view inventory_kind) {
  if (inventory_kind == "hole.expr") return "quorbin.operation.replace_expression";
  if (inventory_kind == "hole.elif") return "quorbin.operation.append_clause";
  if (inventory_kind == "hole.block") return "quorbin.operation.splice_body_at_marker";
  if (inventory_kind == "hole.params") return "quorbin.operation.splice_parameters";
  if (inventory_kind == "hole.positional_variadic" || inventory_kind == "hole.named_variadic") {
    return "quorbin.operation.splice_call_arguments";
  }
  return {};
}

Result<BatchOutcome> apply_request_batch(Engine& engine, uint64_t state_index,
                                         const std::vector<BatchRequest>& requests) {
  BatchOutcome outcome;
  outcome.events.reserve(requests.size());
  for (uint64_t i = 0; i < requests.size(); ++i) {
    if (Status s = apply_one(engine, state_index, requests[i], i, outcome); !s) return std::move(s).error();
  }
  return outcome;
}

}  // namespace quorbin::engine
