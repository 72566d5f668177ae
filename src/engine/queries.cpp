#include "engine/queries.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "engine/assembly_state_ops.h"
#include "engine/fault.h"
#include "engine/quote.h"

namespace quorbin::engine {
namespace {

// ---------------------------------------------------------------------------
// Path selectors

enum class PartKind : unsigned char { Star, Plus, One, Optional, Literal };

PartKind kind_of(const std::string& part) {
  if (part.size() == 1) {
    switch (part[0]) {
      case '*': return PartKind::Star;
      case '+': return PartKind::Plus;
      case '.': return PartKind::One;
      case '?': return PartKind::Optional;
      default: break;
    }
  }
  return PartKind::Literal;
}

Status validate_literal(const std::string& part) {
  if (part.find_first_of(".+?*/") == std::string::npos) return {};
  return schema_error("invalid path selector: reserved path selector character in " + engine::quoted(part));
}

// Results already known for (part, element). Dense for the sizes selectors
// and paths have in practice; a map past that, so memory follows the states
// actually visited rather than the product of the lengths.
class MatchMemo {
 public:
  enum Value : unsigned char { Unknown = 0, No = 1, Yes = 2 };

  MatchMemo(size_t parts, size_t elements) : width_(elements + 1) {
    const size_t cells = (parts + 1) * width_;
    if (cells <= kDenseLimit) dense_.assign(cells, Unknown);
  }

  Value get(size_t i, size_t j) const {
    if (!dense_.empty()) return static_cast<Value>(dense_[i * width_ + j]);
    auto it = sparse_.find(i * width_ + j);
    return it == sparse_.end() ? Unknown : it->second;
  }
  void set(size_t i, size_t j, bool value) {
    const Value v = value ? Yes : No;
    if (!dense_.empty()) {
      dense_[i * width_ + j] = v;
    } else {
      sparse_[i * width_ + j] = v;
    }
  }

 private:
  static constexpr size_t kDenseLimit = size_t{1} << 20;
  size_t width_;
  std::vector<unsigned char> dense_;
  std::unordered_map<size_t, Value> sparse_;
};

}  // namespace

// The recursive definition, match(i, j) over part i and element j, run with
// an explicit stack. Each frame evaluates its alternatives in the defined
// order and stops at the first that matches, so exactly the parts the
// recursive matcher would reach are reached (and validated).
Result<bool> match_path_selector(const PathSelector& selector, const std::vector<std::string>& path) {
  const size_t m = selector.size();
  const size_t n = path.size();
  MatchMemo memo(m, n);

  struct Frame {
    size_t i;
    size_t j;
    unsigned char stage;  // 0: not started; 1: first alternative returned; 2: last alternative returned
  };
  std::vector<Frame> stack;
  stack.push_back({0, 0, 0});
  bool returned = false;  // what the frame popped last evaluated to

  auto finish = [&](bool value) {
    const Frame f = stack.back();
    memo.set(f.i, f.j, value);
    returned = value;
    stack.pop_back();
  };

  while (!stack.empty()) {
    Frame& f = stack.back();
    const size_t i = f.i;
    const size_t j = f.j;
    if (f.stage == 0) {
      if (const MatchMemo::Value known = memo.get(i, j); known != MatchMemo::Unknown) {
        returned = known == MatchMemo::Yes;
        stack.pop_back();
        continue;
      }
      if (i == m) {
        finish(j == n);
        continue;
      }
      const std::string& part = selector[i];
      if (part.empty()) return schema_error("invalid path selector: empty path selector part");
      switch (kind_of(part)) {
        case PartKind::Star:
        case PartKind::Optional:
          f.stage = 1;
          stack.push_back({i + 1, j, 0});
          break;
        case PartKind::Plus:
          if (j >= n) {
            finish(false);
          } else {
            f.stage = 1;
            stack.push_back({i + 1, j + 1, 0});
          }
          break;
        case PartKind::One:
          if (j >= n) {
            finish(false);
          } else {
            f.stage = 2;
            stack.push_back({i + 1, j + 1, 0});
          }
          break;
        case PartKind::Literal:
          if (Status s = validate_literal(part); !s) return std::move(s).error();
          if (j < n && path[j] == part) {
            f.stage = 2;
            stack.push_back({i + 1, j + 1, 0});
          } else {
            finish(false);
          }
          break;
      }
      continue;
    }
    if (f.stage == 2 || returned) {
      finish(returned);
      continue;
    }
    // The first alternative failed; try the second.
    if (j >= n) {
      finish(false);
      continue;
    }
    f.stage = 2;
    switch (kind_of(selector[i])) {
      case PartKind::Star:
      case PartKind::Plus: stack.push_back({i, j + 1, 0}); break;
      case PartKind::Optional: stack.push_back({i + 1, j + 1, 0}); break;
      default: QUORBIN_CHECK(false && "only wildcards have a second alternative");
    }
  }
  return returned;
}

// ---------------------------------------------------------------------------
// Identifier bindings

void IdentifierBindings::bind(uint64_t occurrence, std::string_view name, std::string_view label) {
  entries_.push_back(Entry{occurrence, name, label});
}

void IdentifierBindings::seal() {
  // Stable, so equal keys keep binding order; the last of each run wins.
  std::stable_sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) {
    return a.occurrence != b.occurrence ? a.occurrence < b.occurrence : a.name < b.name;
  });
  size_t kept = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const bool last_of_run = i + 1 == entries_.size() || entries_[i + 1].occurrence != entries_[i].occurrence ||
                             entries_[i + 1].name != entries_[i].name;
    if (last_of_run) entries_[kept++] = entries_[i];
  }
  entries_.resize(kept);
}

const std::string_view* IdentifierBindings::find(uint64_t occurrence, std::string_view name) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), std::pair{occurrence, name},
                             [](const Entry& e, const std::pair<uint64_t, std::string_view>& key) {
                               return e.occurrence != key.first ? e.occurrence < key.first : e.name < key.second;
                             });
  if (it == entries_.end() || it->occurrence != occurrence || it->name != name) return nullptr;
  return &it->label;
}

bool IdentifierBindings::binds(uint64_t occurrence) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), occurrence,
                             [](const Entry& e, uint64_t o) { return e.occurrence < o; });
  return it != entries_.end() && it->occurrence == occurrence;
}

Result<IdentifierBindings> build_identifier_bindings(const Engine& engine, const AssemblyState& state,
                                                     const std::vector<ExtraBinding>& extra) {
  IdentifierBindings bindings;
  for (uint64_t v : state.identifier_overlays) {
    const Overlay& overlay = state.overlays[v];
    const RegisteredRecord& record = record_of(engine, state, overlay.target);
    if (record.resource_name.empty()) {
      return schema_error("identifier overlay target record is missing a resource name");
    }
    bindings.bind(overlay.target.occurrence, record.resource_name, overlay.source_label);
  }
  for (const ExtraBinding& b : extra) bindings.bind(b.occurrence, b.source_name, b.target_name);
  bindings.seal();
  return bindings;
}

std::string_view effective_name(const IdentifierBindings& bindings, uint64_t occurrence,
                                const RegisteredRecord& record) {
  if (const std::string_view* label = bindings.find(occurrence, record.resource_name)) return *label;
  return record.resource_name;
}

std::vector<std::string> effective_code_owner(const IdentifierBindings& bindings, uint64_t occurrence,
                                              const RegisteredRecord& record) {
  std::vector<std::string> owner = record.code_owner;
  if (!bindings.binds(occurrence)) return owner;
  for (std::string& part : owner) {
    if (const std::string_view* label = bindings.find(occurrence, part)) part = *label;
  }
  return owner;
}

// ---------------------------------------------------------------------------
// The demand search

Result<std::vector<RecordId>> demand_search(const Engine& engine, const AssemblyState& state,
                                            const std::vector<std::string>& target_kinds,
                                            const DemandTarget& target, const IdentifierBindings& bindings) {
  // A kind listed twice contributes its list once: the second copy would
  // only repeat records already seen. Lists of different kinds are disjoint,
  // since every record is filed under its one kind.
  std::vector<std::string_view> kinds;
  for (const std::string& kind : target_kinds) {
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) kinds.push_back(kind);
  }

  std::vector<const RecordList*> sources;
  const RecordIndexes& ix = state.indexes;
  if (target.name && bindings.empty()) {
    // Without bindings the effective name is the resource name, so the name
    // index holds every record that can match.
    if (auto it = ix.by_resource_name.find(*target.name); it != ix.by_resource_name.end()) {
      sources.push_back(&it->second);
    }
  } else {
    for (std::string_view kind : kinds) {
      if (auto it = ix.by_inventory_kind.find(kind); it != ix.by_inventory_kind.end()) sources.push_back(&it->second);
    }
  }

  std::vector<RecordId> found;
  for (const RecordList* list : sources) {
    for (const RecordId id : *list) {
      if (Status s = check_target_record(engine, state, id); !s) return std::move(s).error();
      if (record_state(state, id) != RecordState::Live) continue;
      const RegisteredRecord& record = record_of(engine, state, id);
      if (std::find(kinds.begin(), kinds.end(), record.inventory_kind) == kinds.end()) continue;
      if (target.name && effective_name(bindings, id.occurrence, record) != *target.name) continue;
      if (target.build_match) {
        Result<bool> m = match_path_selector(*target.build_match, state.occurrences[id.occurrence].build_path);
        if (!m) return std::move(m).error();
        if (!*m) continue;
      }
      if (target.owner_match) {
        Result<bool> m = match_path_selector(*target.owner_match, effective_code_owner(bindings, id.occurrence, record));
        if (!m) return std::move(m).error();
        if (!*m) continue;
      }
      found.push_back(id);
    }
  }
  return found;
}

// ---------------------------------------------------------------------------
// Compatibility and equivalence

namespace {

constexpr std::string_view kFuncargsHole = "quorbin.surface.funcargs.hole";
constexpr std::string_view kExpressionProduction = "quorbin.surface.expression.production";
constexpr std::string_view kProductionPrefix = "production.";

bool asks_only_for_live(const std::vector<Expectation>& expectations) {
  return std::all_of(expectations.begin(), expectations.end(), [](const Expectation& e) {
    return e.field_name == "state" && e.expected_value == "live";
  });
}

}  // namespace

bool surfaces_compatible(const SurfaceBundle& bundle, std::string_view production_surface,
                         std::string_view target_surface, std::string_view target_kind) {
  for (const CompatibilityRule& rule : bundle.compatibility_rules) {
    if (rule.target_surface_key != target_surface || rule.production_surface_key != production_surface) continue;
    // Candidates are live by construction, so a rule asking for anything
    // else cannot be decided here and is passed over.
    if (asks_only_for_live(rule.target_expectations) && asks_only_for_live(rule.production_expectations)) {
      return true;
    }
  }
  return target_surface == kFuncargsHole &&
         (target_kind == "hole.positional_variadic" || target_kind == "hole.named_variadic") &&
         production_surface == kExpressionProduction;
}

std::vector<uint64_t> production_records(const SurfaceBundle& bundle, const RegisteredTemplate& source,
                                         const RegisteredRecord& target) {
  std::vector<uint64_t> out;
  for (uint64_t j = 0; j < source.records.size(); ++j) {
    const RegisteredRecord& r = source.records[j];
    if (!r.inventory_kind.starts_with(kProductionPrefix)) continue;
    if (surfaces_compatible(bundle, r.surface_key, target.surface_key, target.inventory_kind)) out.push_back(j);
  }
  return out;
}

Result<bool> equivalent_demand_sites(const Engine& engine, const AssemblyState& state,
                                     const IdentifierBindings& bindings, RecordId a, RecordId b) {
  if (a.occurrence >= state.occurrences.size() || b.occurrence >= state.occurrences.size()) {
    return stale_handle_error("unknown native occurrence handle");
  }
  if (state.occurrences[a.occurrence].build_path != state.occurrences[b.occurrence].build_path) return false;
  const RegisteredRecord& ra = record_of(engine, state, a);
  const RegisteredRecord& rb = record_of(engine, state, b);
  if (ra.inventory_kind != rb.inventory_kind) return false;
  if (effective_name(bindings, a.occurrence, ra) != effective_name(bindings, b.occurrence, rb)) return false;
  return effective_code_owner(bindings, a.occurrence, ra) == effective_code_owner(bindings, b.occurrence, rb);
}

// ---------------------------------------------------------------------------
// Candidate queries

Status check_demand_query(const Engine& engine, const HandleRef& state) {
  Result<const AssemblyState*> st = resolve_state(engine, state);
  if (!st) return std::move(st).error();
  return {};
}

Status check_composable_query(const Engine& engine, const HandleRef& state, const HandleRef& source_template) {
  if (Status s = check_open(engine); !s) return s;
  if (Status s = check_owner(engine, state); !s) return s;
  if (Status s = check_owner(engine, source_template); !s) return s;
  if (Result<const SurfaceBundle*> b = registered_surface_bundle(engine); !b) return std::move(b).error();
  if (Status s = check_range(engine, state); !s) return s;
  return check_range(engine, source_template);
}

Result<std::vector<Candidate>> query_demand_candidates(const Engine& engine, const HandleRef& state,
                                                       const CandidateQuery& query) {
  if (Status s = check_demand_query(engine, state); !s) return std::move(s).error();
  const AssemblyState& st = engine.assembly_states[state.index];
  Result<IdentifierBindings> bindings = build_identifier_bindings(engine, st, query.extra_bindings);
  if (!bindings) return std::move(bindings).error();
  Result<std::vector<RecordId>> found = demand_search(engine, st, query.kinds, query.target, *bindings);
  if (!found) return std::move(found).error();
  std::vector<Candidate> out;
  out.reserve(found->size());
  for (RecordId id : *found) out.push_back(Candidate{id, {}});
  return out;
}

Result<std::vector<Candidate>> query_composable_candidates(const Engine& engine, const HandleRef& state,
                                                           const HandleRef& source_template,
                                                           const CandidateQuery& query) {
  if (Status s = check_composable_query(engine, state, source_template); !s) return std::move(s).error();
  const SurfaceBundle& bundle = *engine.surface_bundle;
  const AssemblyState& st = engine.assembly_states[state.index];
  const RegisteredTemplate& source = engine.templates[source_template.index];
  Result<IdentifierBindings> bindings = build_identifier_bindings(engine, st, query.extra_bindings);
  if (!bindings) return std::move(bindings).error();
  Result<std::vector<RecordId>> found = demand_search(engine, st, query.kinds, query.target, *bindings);
  if (!found) return std::move(found).error();
  std::vector<Candidate> out;
  for (RecordId id : *found) {
    std::vector<uint64_t> productions = production_records(bundle, source, record_of(engine, st, id));
    if (!productions.empty()) out.push_back(Candidate{id, std::move(productions)});
  }
  return out;
}

}  // namespace quorbin::engine
