#include <utility>

#include "engine/assembly_state.h"
#include "engine/assembly_state_ops.h"
#include "engine/fault.h"

namespace quorbin::engine {
namespace {

Status check_state_range(const Engine& engine, uint64_t state_index) {
  if (state_index >= engine.assembly_states.size()) return stale_handle_error("unknown native assembly state handle");
  return {};
}

Status check_occurrence_range(const AssemblyState& state, uint64_t occurrence) {
  if (occurrence >= state.occurrences.size()) return stale_handle_error("unknown native occurrence handle");
  return {};
}

Status check_template_range(const Engine& engine, uint64_t template_index) {
  if (template_index >= engine.templates.size()) return stale_handle_error("unknown native template handle");
  return {};
}

RecordId record_id_of(const HandleRef& record) { return {record.occurrence_index, record.template_record_index}; }

void file_under(RecordList& list, RecordId id) { list.push_back(id); }

template <class Map, class Key>
RecordList& slot(Map& map, Key&& key) {
  auto it = map.find(key);
  if (it == map.end()) it = map.emplace(std::forward<Key>(key), RecordList{}).first;
  return it->second;
}

}  // namespace

std::string_view record_state_text(RecordState state) {
  switch (state) {
    case RecordState::Live: return "live";
    case RecordState::Satisfied: return "satisfied";
    case RecordState::Dead: return "dead";
  }
  return "live";
}

RecordState record_state(const AssemblyState& state, RecordId id) {
  QUORBIN_CHECK(id.occurrence < state.occurrences.size());
  if (!state.occurrences[id.occurrence].live || state.dead.count(id) != 0) return RecordState::Dead;
  if (state.satisfied.count(id) != 0) return RecordState::Satisfied;
  return RecordState::Live;
}

const RegisteredTemplate& template_of(const Engine& engine, const Occurrence& occurrence) {
  QUORBIN_CHECK(occurrence.template_index < engine.templates.size());
  return engine.templates[occurrence.template_index];
}

const RegisteredRecord& record_of(const Engine& engine, const AssemblyState& state, RecordId id) {
  QUORBIN_CHECK(id.occurrence < state.occurrences.size());
  const RegisteredTemplate& tmpl = template_of(engine, state.occurrences[id.occurrence]);
  QUORBIN_CHECK(id.record < tmpl.records.size());
  return tmpl.records[id.record];
}

Status check_target_record(const Engine& engine, const AssemblyState& state, RecordId id) {
  if (Status s = check_occurrence_range(state, id.occurrence); !s) return s;
  if (Status s = check_open(engine); !s) return s;
  const uint64_t template_index = state.occurrences[id.occurrence].template_index;
  if (Status s = check_template_range(engine, template_index); !s) return s;
  if (id.record >= engine.templates[template_index].records.size()) {
    return stale_handle_error("unknown native template record");
  }
  return {};
}

Result<const AssemblyState*> resolve_state(const Engine& engine, const HandleRef& state) {
  if (Status s = check_open(engine); !s) return std::move(s).error();
  if (Status s = check_owner(engine, state); !s) return std::move(s).error();
  if (Status s = check_state_range(engine, state.index); !s) return std::move(s).error();
  return &engine.assembly_states[state.index];
}

Result<uint64_t> create_assembly_state(Engine& engine) {
  if (Status s = check_open(engine); !s) return std::move(s).error();
  engine.assembly_states.emplace_back();
  return engine.assembly_states.size() - 1;
}

Status check_append_occurrence_owners(const Engine& engine, const HandleRef& state, const HandleRef& tmpl) {
  if (Status s = check_open(engine); !s) return s;
  if (Status s = check_owner(engine, state); !s) return s;
  return check_owner(engine, tmpl);
}

Result<uint64_t> append_occurrence(Engine& engine, const HandleRef& state, const HandleRef& tmpl,
                                   std::vector<std::string> build_path, const HandleRef* parent) {
  if (Status s = check_append_occurrence_owners(engine, state, tmpl); !s) return std::move(s).error();
  if (Status s = check_template_range(engine, tmpl.index); !s) return std::move(s).error();
  std::optional<uint64_t> parent_index;
  if (parent) {
    if (Status s = check_owner(engine, *parent); !s) return std::move(s).error();
    if (parent->state_index != state.index) {
      return stale_handle_error("parent occurrence belongs to another native assembly state");
    }
    if (Status s = check_state_range(engine, state.index); !s) return std::move(s).error();
    if (Status s = check_occurrence_range(engine.assembly_states[state.index], parent->index); !s) {
      return std::move(s).error();
    }
    parent_index = parent->index;
  }
  if (Status s = check_state_range(engine, state.index); !s) return std::move(s).error();
  return push_occurrence(engine.assembly_states[state.index], engine.templates[tmpl.index], tmpl.index,
                         std::move(build_path), parent_index);
}

Result<RecordId> check_record_handle(const Engine& engine, const HandleRef& state, const HandleRef& occurrence,
                                     uint64_t template_record_index) {
  if (Status s = check_open(engine); !s) return std::move(s).error();
  if (Status s = check_owner(engine, state); !s) return std::move(s).error();
  if (Status s = check_owner(engine, occurrence); !s) return std::move(s).error();
  if (Status s = check_member(state, occurrence, ErrorKind::StaleHandle, "occurrence"); !s) {
    return std::move(s).error();
  }
  if (Status s = check_state_range(engine, state.index); !s) return std::move(s).error();
  const AssemblyState& st = engine.assembly_states[state.index];
  if (Status s = check_occurrence_range(st, occurrence.index); !s) return std::move(s).error();
  const uint64_t template_index = st.occurrences[occurrence.index].template_index;
  if (Status s = check_template_range(engine, template_index); !s) return std::move(s).error();
  if (template_record_index >= engine.templates[template_index].records.size()) {
    return stale_handle_error("unknown native template record handle");
  }
  return RecordId{occurrence.index, template_record_index};
}

Result<uint64_t> append_edge(Engine& engine, const HandleRef& state, const HandleRef& target,
                             const HandleRef& source, std::string operation_key, int64_t order) {
  if (Status s = check_open(engine); !s) return std::move(s).error();
  for (const HandleRef* h : {&state, &target, &source}) {
    if (Status s = check_owner(engine, *h); !s) return std::move(s).error();
  }
  if (target.state_index != state.index || source.state_index != state.index) {
    return schema_error("edge handles must belong to the target assembly state");
  }
  if (Status s = check_state_range(engine, state.index); !s) return std::move(s).error();
  AssemblyState& st = engine.assembly_states[state.index];
  const RecordId id = record_id_of(target);
  if (Status s = check_target_record(engine, st, id); !s) return std::move(s).error();
  if (Status s = check_occurrence_range(st, source.index); !s) return std::move(s).error();
  return push_edge(st, Edge{id, source.index, std::move(operation_key), order});
}

Result<uint64_t> append_overlay(Engine& engine, const HandleRef& state, const HandleRef& target, std::string kind,
                                std::string source_label) {
  if (Status s = check_open(engine); !s) return std::move(s).error();
  if (Status s = check_owner(engine, state); !s) return std::move(s).error();
  if (Status s = check_owner(engine, target); !s) return std::move(s).error();
  if (Status s = check_member(state, target, ErrorKind::Schema, "overlay target"); !s) return std::move(s).error();
  if (Status s = check_state_range(engine, state.index); !s) return std::move(s).error();
  AssemblyState& st = engine.assembly_states[state.index];
  const RecordId id = record_id_of(target);
  if (Status s = check_target_record(engine, st, id); !s) return std::move(s).error();
  return push_overlay(st, Overlay{id, std::move(kind), std::move(source_label)});
}

Status mark_satisfied(Engine& engine, const HandleRef& state, const HandleRef& record) {
  if (Status s = check_open(engine); !s) return s;
  if (Status s = check_owner(engine, state); !s) return s;
  if (Status s = check_owner(engine, record); !s) return s;
  if (Status s = check_member(state, record, ErrorKind::Schema, "record"); !s) return s;
  if (Status s = check_state_range(engine, state.index); !s) return s;
  AssemblyState& st = engine.assembly_states[state.index];
  const RecordId id = record_id_of(record);
  if (Status s = check_target_record(engine, st, id); !s) return s;
  st.satisfied.insert(id);
  return {};
}

uint64_t push_occurrence(AssemblyState& state, const RegisteredTemplate& tmpl, uint64_t template_index,
                         std::vector<std::string> build_path, std::optional<uint64_t> parent) {
  const uint64_t o = state.occurrences.size();
  RecordIndexes& ix = state.indexes;
  // Every record of the occurrence goes under the same build path: one
  // lookup serves them all. A template without records adds no key.
  RecordList* by_path = tmpl.records.empty() ? nullptr : &slot(ix.by_build_path, build_path);
  for (uint64_t k = 0; k < tmpl.records.size(); ++k) {
    const RegisteredRecord& r = tmpl.records[k];
    const RecordId id{o, k};
    file_under(*by_path, id);
    file_under(slot(ix.by_surface, r.surface_key), id);
    if (!r.resource_name.empty()) {
      file_under(slot(ix.by_resource_name, r.resource_name), id);
      if (!r.inventory_kind.empty()) {
        file_under(slot(ix.by_name_and_kind, std::make_pair(r.resource_name, r.inventory_kind)), id);
      }
    }
    if (!r.inventory_kind.empty()) file_under(slot(ix.by_inventory_kind, r.inventory_kind), id);
    file_under(slot(ix.by_owner, r.code_owner), id);
  }
  state.occurrences.push_back(Occurrence{template_index, std::move(build_path), parent, true});
  return o;
}

uint64_t push_edge(AssemblyState& state, Edge edge) {
  state.edges.push_back(std::move(edge));
  return state.edges.size() - 1;
}

uint64_t push_overlay(AssemblyState& state, Overlay overlay) {
  const uint64_t v = state.overlays.size();
  if (overlay.kind == kIdentifierOverlayKind) state.identifier_overlays.push_back(v);
  state.overlays.push_back(std::move(overlay));
  return v;
}

}  // namespace quorbin::engine
